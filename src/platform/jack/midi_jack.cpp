// JackMidiBackend: the backend's face to MidiSystem.
// The work is the session's: jack_session.cpp (client and ports), jack_process.cpp (the process
// callback), jack_supervisor.cpp (notices and the supervisor), jack_server.cpp (finding a
// server), midi_jack_input.cpp (inputs).
#include "platform/jack/midi_jack.h"

#include "platform/jack/jack_session.h"
#include "platform/jack/jack_transport.h"
#include "platform/jack/midi_jack_input.h"

using namespace jackbackend;

// ---------------------------------------------------------------------------------------------
// JackMidiBackend

std::unique_ptr<JackMidiBackend> JackMidiBackend::Create(const std::string& serverName,
                                                         int64_t safetyMarginNs,
                                                         WithoutServer withoutServer) {
    auto session = std::make_shared<Session>(safetyMarginNs);
    if (!session->open(serverName, withoutServer == WithoutServer::WaitForOne)) return nullptr;
    std::unique_ptr<JackMidiBackend> backend(new JackMidiBackend(std::move(session)));
    backend->session_->startSupervisor();
    return backend;
}

JackMidiBackend::JackMidiBackend(std::shared_ptr<Session> session) : session_(std::move(session)) {
    std::weak_ptr<Session> weak = session_;
    inputs_ = std::make_shared<JackInputHub>(
        session_->client(), session_->clientName(),
        [weak] {
            auto session = weak.lock();
            return session && session->serverRunning();
        },
        [weak] {
            auto session = weak.lock();
            return session ? session->jackMinusMonotonicNs() : int64_t{0};
        });
    session_->setInputs(inputs_.get());
    transport_ = std::make_unique<JackTransport>();
    transport_->setClient(session_->client());
    session_->setTransport(transport_.get());
}

JackMidiBackend::~JackMidiBackend() {
    session_->closeClient();  // no process callback runs after this
}

std::vector<std::string> JackMidiBackend::listOutputs() {
    return session_->listOutputs();
}

std::unique_ptr<MidiOutConnection> JackMidiBackend::openOutput(const std::string& name,
                                                               const std::string& ownPortName) {
    return session_->openOutput(name, ownPortName);
}

void JackMidiBackend::setProblemSink(ProblemSink sink) {
    session_->setProblemSink(std::move(sink));
}

void JackMidiBackend::setRecoverySink(ProblemSink sink) {
    session_->setRecoverySink(std::move(sink));
}

void JackMidiBackend::setArrivalSink(ArrivalSink sink) {
    session_->setArrivalSink(std::move(sink));
}

std::string JackMidiBackend::clientName() const {
    return session_->clientName();
}
uint32_t JackMidiBackend::sampleRate() const {
    return session_->sampleRate();
}
int64_t JackMidiBackend::latencyNs() const {
    return session_->latencyNs();
}
int64_t JackMidiBackend::sharedBaseDelayNs() const {
    return session_->baseDelayNs();
}
uint64_t JackMidiBackend::lateMessageCount() const {
    return session_->lateMessages();
}
uint64_t JackMidiBackend::droppedLateTickCount() const {
    return session_->droppedLateTicks();
}
uint64_t JackMidiBackend::timeLineRestartCount() const {
    return session_->lineRestarts();
}
bool JackMidiBackend::serverRunning() const {
    return session_->serverRunning();
}
TransportSource* JackMidiBackend::transport() {
    return transport_.get();
}
bool JackMidiBackend::holdsClient() const {
    return session_->holdsClient();
}

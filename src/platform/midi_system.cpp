#include "platform/midi_system.h"

#include "platform/jack/midi_jack.h"
#include "platform/midi_alsa.h"

namespace {
std::string DisplayName(const MidiOutBackend& backend, const std::string& name) {
    return backend.prefix() + ": " + name;
}
}  // namespace

MidiSystem::MidiSystem() = default;

MidiSystem::~MidiSystem() {
    // Close the backends (and their threads) while the listener can still be told.
    backends_.clear();
}

std::unique_ptr<MidiSystem> MidiSystem::CreateDefault() {
    auto system = std::make_unique<MidiSystem>();
    // Made even when no server runs yet: a server started after the program is taken into use.
    if (auto jack = JackMidiBackend::Create("", JackMidiBackend::kDefaultSafetyMarginNs,
                                            JackMidiBackend::WithoutServer::WaitForOne))
        system->addBackend(std::move(jack));
    if (auto alsa = AlsaMidiBackend::Create()) system->addBackend(std::move(alsa));
    return system;
}

void MidiSystem::addBackend(std::unique_ptr<MidiOutBackend> backend) {
    if (!backend) return;
    backend->setProblemSink([this](const std::string& text) { reportProblem(text); });
    backend->setRecoverySink([this](const std::string& text) { reportRecovery(text); });
    backend->setArrivalSink([this](bool server) { reportArrival(server); });
    backends_.push_back(std::move(backend));
}

std::vector<std::string> MidiSystem::listOutputs() {
    std::vector<std::string> names;
    for (const auto& backend : backends_) {
        for (const auto& name : backend->listOutputs())
            names.push_back(DisplayName(*backend, name));
    }
    return names;
}

std::unique_ptr<MidiOutConnection> MidiSystem::openOutput(const std::string& displayName,
                                                          const std::string& ownPortName) {
    for (const auto& backend : backends_) {
        const std::string lead = backend->prefix() + ": ";
        if (displayName.size() > lead.size() && displayName.compare(0, lead.size(), lead) == 0) {
            return backend->openOutput(displayName.substr(lead.size()), ownPortName);
        }
    }
    return nullptr;
}

std::string MidiSystem::StableDeviceName(const std::string& displayName) {
    const std::string lead = "ALSA: ";
    if (displayName.compare(0, lead.size(), lead) != 0) return displayName;
    return lead + AlsaNameWithoutNumbers(std::string_view(displayName).substr(lead.size()));
}

std::vector<std::string> MidiSystem::listInputs() {
    std::vector<std::string> names;
    for (const auto& backend : backends_) {
        for (const auto& name : backend->listInputs()) names.push_back(DisplayName(*backend, name));
    }
    return names;
}

std::unique_ptr<MidiInConnection> MidiSystem::openInput(const std::string& displayName,
                                                        const std::string& ownPortName,
                                                        MidiInHandler handler) {
    for (const auto& backend : backends_) {
        const std::string lead = backend->prefix() + ": ";
        if (displayName.size() > lead.size() && displayName.compare(0, lead.size(), lead) == 0) {
            return backend->openInput(displayName.substr(lead.size()), ownPortName,
                                      std::move(handler));
        }
    }
    return nullptr;
}

std::unique_ptr<PulseOutConnection> MidiSystem::openPulseOutput(int number) {
    for (auto& backend : backends_)
        if (auto connection = backend->openPulseOutput(number)) return connection;
    return nullptr;
}

std::string MidiSystem::firstVirtualOutput() {
    // JACK first: it schedules every tick to the frame, the others send at once.
    for (const bool wantJack : {true, false}) {
        for (const auto& backend : backends_) {
            if ((backend->prefix() == "JACK") != wantJack) continue;
            for (const auto& name : backend->listOutputs()) {
                if (name == kVirtualPortName) return DisplayName(*backend, name);
            }
        }
    }
    return "";
}

void MidiSystem::setProblemListener(ProblemListener listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(listener);
}

void MidiSystem::reportProblem(const std::string& text) {
    ProblemListener listener;
    {
        std::lock_guard lock(listenerMutex_);
        listener = listener_;
    }
    if (listener) listener(text);
}

void MidiSystem::setRecoveryListener(ProblemListener listener) {
    std::lock_guard lock(listenerMutex_);
    recoveryListener_ = std::move(listener);
}

void MidiSystem::setArrivalListener(ArrivalListener listener) {
    std::lock_guard lock(listenerMutex_);
    arrivalListener_ = std::move(listener);
}

void MidiSystem::reportArrival(bool server) {
    ArrivalListener listener;
    {
        std::lock_guard lock(listenerMutex_);
        listener = arrivalListener_;
    }
    if (listener) listener(server);
}

bool MidiSystem::jackServerRunning() {
    for (const auto& backend : backends_) {
        if (backend->prefix() == "JACK" && !backend->listOutputs().empty()) return true;
    }
    return false;
}

TransportSource* MidiSystem::transport() {
    for (const auto& backend : backends_) {
        if (TransportSource* transport = backend->transport()) return transport;
    }
    return nullptr;
}

void MidiSystem::reportRecovery(const std::string& text) {
    ProblemListener listener;
    {
        std::lock_guard lock(listenerMutex_);
        listener = recoveryListener_;
    }
    if (listener) listener(text);
}

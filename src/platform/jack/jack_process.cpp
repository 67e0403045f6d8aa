// The JACK process callback: where the cycle lies on our clock, and each port's queued messages
// onto their frames. Process thread: no allocation, no lock, no system call.
#include <jack/midiport.h>
#include <jack/statistics.h>

#include <algorithm>
#include <cmath>

#include "platform/jack/jack_session.h"
#include "platform/jack/jack_transport.h"
#include "platform/jack/midi_jack_input.h"
#include "platform/midi_bytes.h"

using namespace jackbackend;

int JackMidiBackend::Session::onProcess(jack_nframes_t frames, void* context) {
    auto* c = static_cast<ClientContext*>(context);
    c->session->process(c->client, frames);
    return 0;
}

void JackMidiBackend::Session::process(jack_client_t* client, jack_nframes_t frames) {
    CycleMap map = mapCycle(client, frames);
    JackTransport* transport = transport_.load(std::memory_order_acquire);
    map.ticksOnLine = transport && transport->ticksOnGrid();
    for (auto& entry : active_) {
        // seq_cst with the increment below: see waitForCycle().
        JackOutSlot* slot = entry.load(std::memory_order_seq_cst);
        if (!slot) continue;
        jack_port_t* port = slot->port.load(std::memory_order_acquire);
        if (!port) continue;
        void* buffer = jack_port_get_buffer(port, frames);
        jack_midi_clear_buffer(buffer);
        writeDue(*slot, buffer, frames, map);
    }
    processPulses(frames, map);
    if (JackProcessHook* hook = processHook_.load(std::memory_order_acquire))
        hook->process(frames, map.firstFrame, cycleClock_.countedStartNs(),
                      cycleClock_.nsPerFrame());
    if (transport)
        transport->cycle(client, frames, map.firstFrame, map.startNs - map.jackMinusMonoNs,
                         cycleClock_.nsPerFrame(), sampleRate_.load(std::memory_order_relaxed));
    cyclesDone_.fetch_add(1, std::memory_order_seq_cst);
}

JackMidiBackend::Session::CycleMap JackMidiBackend::Session::mapCycle(jack_client_t* client,
                                                                      jack_nframes_t frames) {
    // Frame count first, then the clock: a callback running so late that the server has begun
    // the next cycle may read that cycle's count, and the clock read after it is then still
    // after that cycle's boundary, as CycleClock needs. jack_get_time() reads the clock through
    // the vDSO: no system call on the process thread.
    const jack_nframes_t firstFrame = jack_last_frame_time(client);
    const int64_t wokeNs = static_cast<int64_t>(jack_get_time()) * 1000;
    const uint32_t rate = sampleRate_.load(std::memory_order_relaxed);
    // The server notes how late its driver was at each driver xrun before the cycle after it
    // runs, in memory it shares with its clients: a changed figure is word of an xrun in the
    // very cycle it matters to. (The xrun callback comes through another thread, often cycles
    // later, and also for clients that merely did not finish, which leave the line alone.)
    const float xrunDelayedUs = jack_get_xrun_delayed_usecs(client);
    const bool driverXrun = xrunDelayedUs != lastXrunDelayedUs_;
    lastXrunDelayedUs_ = xrunDelayedUs;
    // A new client means a new server, whose frames lie on another line.
    if (newClient_.exchange(false, std::memory_order_acq_rel)) cycleClock_.forget();
    CycleMap map;
    map.startNs = cycleClock_.update(firstFrame, wokeNs, frames, rate, driverXrun,
                                     static_cast<int64_t>(std::llround(xrunDelayedUs * 1000.0)));
    lineRestarts_.store(cycleClock_.lineMoves(), std::memory_order_relaxed);
    map.framesPerNs = 1.0 / cycleClock_.nsPerFrame();
    map.latencyNs = static_cast<int64_t>(frames) * 1'000'000'000 / std::max<uint32_t>(1, rate) +
                    safetyMarginNs_;
    map.firstFrame = firstFrame;
    map.jackMinusMonoNs = jackMinusMonoNs_.load(std::memory_order_relaxed);
    return map;
}

void JackMidiBackend::Session::writeDue(JackOutSlot& slot, void* buffer, jack_nframes_t frames,
                                        const CycleMap& map) {
    const size_t largestEvent = jack_midi_max_event_size(buffer);
    const bool deliver = slot.alive.load(std::memory_order_acquire);
    jack_nframes_t lastFrame = 0;  // JACK wants the events of a cycle in time order
    int64_t lastTickFrame = -1;
    const int64_t extraNs = slot.extraNs.load(std::memory_order_relaxed);
    MidiEventRing::Header header;
    while (slot.queue.front(header)) {
        FramePlacement place;
        const int64_t jackNs = header.timeNs + map.jackMinusMonoNs;
        const bool timed = (header.flags & JackOutQueue::kAsSoonAsPossible) == 0;
        if (timed) {
            uint8_t status = 0;
            if (header.length == 1) slot.queue.copyFrontBytes(&status);
            if (map.ticksOnLine && status == midi::kTimingClock) {
                place = PlaceOnFrame(jackNs, map.latencyNs + extraNs, map.startNs, map.framesPerNs,
                                     frames, lastFrame);
                slot.chain.valid = false;
            } else {
                place = PlaceOnFrameChained(jackNs, map.latencyNs + extraNs, map.startNs,
                                            map.framesPerNs, frames, lastFrame, map.firstFrame,
                                            slot.chain);
            }
            if (status == midi::kTimingClock) {
                const double duePosition =
                    static_cast<double>(jackNs + map.latencyNs + extraNs - map.startNs) *
                    map.framesPerNs;
                const TickPlacement tick =
                    PlaceTick(place, duePosition, map.framesPerNs, frames, lastTickFrame);
                if (tick.kind == TickPlacement::Kind::NextCycle) break;
                if (tick.kind == TickPlacement::Kind::Drop) {
                    slot.queue.pop();
                    droppedLateTicks_.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                place.frame = tick.frame;
                lastTickFrame = tick.frame;
            }
        } else if (extraNs <= 0) {
            place = PlaceOnFrame(0, 0, 0, 0, frames, lastFrame);
        } else {
            // "Now" on a delayed port: the port's delay after it was queued. Past that it is
            // simply due, not late.
            place = PlaceOnFrame(jackNs, extraNs, map.startNs, map.framesPerNs, frames, lastFrame);
            if (place.kind == FramePlacement::Kind::Late) place.kind = FramePlacement::Kind::Now;
        }
        // Due in a later cycle: stays, and so does all after it.
        if (place.kind == FramePlacement::Kind::LaterCycle) break;
        if (place.kind == FramePlacement::Kind::Late)
            lateMessages_.fetch_add(1, std::memory_order_relaxed);
        const jack_nframes_t frame = place.frame;
        if (!deliver || header.length > largestEvent) {
            slot.queue.pop();  // destination gone, or a message no cycle could ever carry
            continue;
        }
        jack_midi_data_t* space = jack_midi_event_reserve(buffer, frame, header.length);
        if (!space) break;  // this cycle's buffer is full: first thing next cycle
        slot.queue.copyFrontBytes(space);
        slot.queue.pop();
        lastFrame = frame;
    }
}

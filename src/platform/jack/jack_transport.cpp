#include "platform/jack/jack_transport.h"

#include <chrono>
#include <cmath>

JackTransport::JackTransport() {
    sem_init(&wake_, 0, 0);
    watcher_ = std::thread([this] { watch(); });
}

JackTransport::~JackTransport() {
    quit_.store(true, std::memory_order_release);
    sem_post(&wake_);
    watcher_.join();
    sem_destroy(&wake_);
}

void JackTransport::setClient(jack_client_t* client) {
    std::lock_guard lock(clientMutex_);
    client_ = client;
    if (client && clock_.load(std::memory_order_acquire))
        jack_set_timebase_callback(client, 0, &JackTransport::onTimebase, this);
}

void JackTransport::SetListener(TransportListener* listener) {
    std::lock_guard lock(listenerMutex_);
    listener_ = listener;
}

bool JackTransport::Lead(const BeatClock* clock) {
    std::lock_guard lock(clientMutex_);
    const BeatClock* old = clock_.exchange(clock, std::memory_order_seq_cst);
    // A callback that took the old clock may still be asking it; its owner may go once this
    // returns. (A callback is short: a few loads and stores.)
    if (old && old != clock)
        while (inTimebase_.load(std::memory_order_seq_cst) != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    if (!client_) return clock == nullptr;
    if (clock && !old) {
        // Unconditional: we were asked to lead, and take the place of any master before us.
        if (jack_set_timebase_callback(client_, 0, &JackTransport::onTimebase, this) != 0) {
            clock_.store(nullptr, std::memory_order_release);
            return false;
        }
    } else if (!clock && old) {
        jack_release_timebase(client_);
    }
    return true;
}

void JackTransport::Roll(bool roll) {
    std::lock_guard lock(clientMutex_);
    if (!client_) return;
    if (roll) {
        // A start from a standing transport is a start from the top, where the followers that
        // count the transport's frames put their first beat.
        jack_position_t position;
        if (clock_.load(std::memory_order_acquire) &&
            jack_transport_query(client_, &position) == JackTransportStopped)
            jack_transport_locate(client_, 0);
        jack_transport_start(client_);
    } else {
        jack_transport_stop(client_);
    }
}

void JackTransport::cycle(jack_client_t* client, uint32_t frames, uint32_t cycleFrame,
                          int64_t startNs, double nsPerFrame, uint32_t sampleRate) {
    if (!counting_) {
        cycleFrames_ = cycleFrame;
        counting_ = true;
    } else {
        cycleFrames_ += static_cast<uint32_t>(cycleFrame - lastFrame_);  // across the wrap
    }
    lastFrame_ = cycleFrame;
    jack_position_t position;
    const jack_transport_state_t state = jack_transport_query(client, &position);
    TransportCycle c;
    // A relocate while rolling passes through Starting: still rolling to us, so that it moves
    // the grid instead of stopping and starting the clock.
    c.rolling = state == JackTransportRolling || (state == JackTransportStarting && view_.rolling);
    c.transportFrame = position.frame;
    c.cycleFrame = cycleFrames_;
    c.frames = frames;
    c.sampleRate = position.frame_rate > 0 ? position.frame_rate : sampleRate;
    c.bbt = (position.valid & JackPositionBBT) != 0;
    if (c.bbt) {
        c.bar = position.bar;
        c.beat = position.beat;
        c.tick = position.tick;
        c.ticksPerBeat = position.ticks_per_beat;
        c.beatsPerBar = position.beats_per_bar;
        c.bpm = position.beats_per_minute;
        if (position.valid & JackBBTFrameOffset)
            c.bbtOffset = static_cast<int32_t>(position.bbt_offset);
    }
    anchor_.update(c, view_);
    if (c.bbt && written_.valid && written_.frame == position.frame &&
        written_.bpm == position.beats_per_minute && view_.framesPerBeat > 0) {
        // Our own grid, exact: the bars and beats we wrote hold whole ticks only.
        view_.anchorFrame = cycleFrames_;
        view_.anchorBeat = written_.beat;
    }
    view_.cycleFrame = cycleFrames_;
    view_.cycleStartNs = startNs;
    view_.nsPerFrame = nsPerFrame;
    latch_.write(view_);
    const double bpm = view_.hasGrid ? view_.bpm : 0;
    bool changed = false;
    if (rolling_.load(std::memory_order_relaxed) != view_.rolling) {
        rolling_.store(view_.rolling, std::memory_order_release);
        changed = true;
    }
    if (bpm_.load(std::memory_order_relaxed) != bpm) {
        bpm_.store(bpm, std::memory_order_release);
        changed = true;
    }
    if (changed) sem_post(&wake_);  // neither waits nor allocates
}

void JackTransport::onTimebase(jack_transport_state_t state, jack_nframes_t frames,
                               jack_position_t* position, int newPosition, void* arg) {
    static_cast<JackTransport*>(arg)->timebase(state == JackTransportRolling, newPosition != 0,
                                               frames, position);
}

void JackTransport::timebase(bool rolling, bool moved, jack_nframes_t frames,
                             jack_position_t* position) {
    // position is the next cycle's: the frame after this cycle's last, on our clock.
    inTimebase_.fetch_add(1, std::memory_order_seq_cst);
    const BeatClock* clock = clock_.load(std::memory_order_seq_cst);
    double beat = 0;
    double bpm = 0;
    bool running = false;
    if (clock) {
        const double frame = static_cast<double>(view_.cycleFrame) + frames;
        const auto atNs = static_cast<int64_t>(std::llround(TimeOfFrame(view_, frame)));
        running = clock->BeatAt(atNs, beat, bpm);
    }
    inTimebase_.fetch_sub(1, std::memory_order_seq_cst);
    if (!(bpm > 0)) bpm = lead_.bpm > 0 ? lead_.bpm : 120;
    const double rate = position->frame_rate > 0 ? position->frame_rate : 48000;
    const double frame = position->frame;
    if (rolling && running && !ticksOnGrid()) {
        // Our clock keeps another master's phase (a Link session, a locked input): the bars and
        // beats are our clock's own, and the grid goes on from them should it come back to ours.
        lead_ = {bpm, frame, beat};
    } else if (!rolling || moved || !(lead_.bpm > 0)) {
        // The beats lie where a follower that counts the transport's frames puts them: beat 0
        // on frame 0, a beat every beat's length at our tempo.
        lead_ = {bpm, 0, 0};
    } else if (bpm != lead_.bpm) {
        // A follower that counts frames goes on from its last tick before the cycle that
        // brings the new tempo, at the new tempo's tick length: so does the grid. A tick on the
        // cycle's first frame leaves it unclear which was the last; the tempo waits a cycle.
        const double perTick = rate * 60 / lead_.bpm / 24;
        const double ticks = (frame - lead_.frame) / perTick;
        if (std::fabs(ticks - std::round(ticks)) > 1e-6) {
            const double last = std::ceil(ticks) - 1;
            lead_ = {bpm, lead_.frame + last * perTick, lead_.beat + last / 24};
        }
    }
    beat = lead_.beat + (frame - lead_.frame) / (rate * 60 / lead_.bpm);
    bpm = lead_.bpm;
    written_ = {true, position->frame, bpm, beat};
    const BbtPlace place = BbtOfBeat(beat, kBeatsPerBar, kTicksPerBeat);
    position->valid = static_cast<jack_position_bits_t>(position->valid | JackPositionBBT);
    position->bar = place.bar;
    position->beat = place.beat;
    position->tick = place.tick;
    position->bar_start_tick = place.barStartTick;
    position->beats_per_bar = static_cast<float>(kBeatsPerBar);
    position->beat_type = 4;
    position->ticks_per_beat = kTicksPerBeat;
    position->beats_per_minute = bpm;
}

void JackTransport::watch() {
    bool toldRolling = false;
    double toldBpm = 0;
    for (;;) {
        while (sem_wait(&wake_) != 0) {
        }
        if (quit_.load(std::memory_order_acquire)) return;
        const bool rolling = rolling_.load(std::memory_order_acquire);
        const double bpm = bpm_.load(std::memory_order_acquire);
        std::lock_guard lock(listenerMutex_);
        if (!listener_) continue;
        if (bpm > 0 && bpm != toldBpm) listener_->TransportTempo(bpm);
        toldBpm = bpm;
        if (rolling != toldRolling) listener_->TransportRolling(rolling);
        toldRolling = rolling;
    }
}

#include "app/sync_control.h"

#include "app/main_model.h"
#include "midiin/midi_in_port.h"
#include "platform/monotonic_clock.h"
#include "platform/number_text.h"

SyncControl::SyncControl(KorvidMainModel& model) : model_(model) {
    link_.SetListener(this);
    link_.SetTimer(&model_.Timer());
    link_.SetLatency(&model_.Lookahead());
}

SyncControl::~SyncControl() {
    if (scheduled_) model_.Timer().SetSchedule(nullptr);
    link_.SetListener(nullptr);
    link_.Enable(false, 0);
}

void SyncControl::SetLinkEnabled(bool on) {
    model_.settings.LINKENABLED = on;
    if (on == link_.Enabled()) return;
    {
        std::lock_guard lock(tempoMutex_);
        agreedBpm_ = model_.GetBPM();
    }
    // Joining: our tempo is the session's if we are the first. Leaving: the clock goes back to
    // its own period from its last tick, at the tempo it has, so nothing jumps.
    link_.Enable(on, model_.GetBPM());
    updateSchedule();
    model_.state.PostStatus(on ? "Link on" : "Link off", StatusColors::blue);
}

void SyncControl::ApplySettings() {
    link_.SetStartStopSync(model_.settings.LINKSTARTSTOPSYNC);
    link_.SetQuantum(model_.settings.LINKQUANTUM);
}

void SyncControl::JoinAsSet() {
    if (model_.settings.LINKENABLED != link_.Enabled()) SetLinkEnabled(model_.settings.LINKENABLED);
}

void SyncControl::InputGoing() {
    MidiInPort* in = model_.InPort();
    if (in && scheduled_ == &in->Lock()) {
        model_.Timer().SetSchedule(nullptr);
        scheduled_ = nullptr;
    }
}

void SyncControl::updateSchedule() {
    TickSchedule* wanted = nullptr;
    MidiInPort* in = model_.InPort();
    if (link_.Enabled())
        wanted = &link_;
    else if (in && in->LockMode())
        wanted = &in->Lock();
    if (wanted == scheduled_) return;
    model_.Timer().SetSchedule(wanted);
    scheduled_ = wanted;
}

void SyncControl::Pump() {
    updateSchedule();
    if (link_.Enabled()) {
        const double ours = model_.GetBPM();
        bool send = false;
        {
            std::lock_guard lock(tempoMutex_);
            if (ours != agreedBpm_) {
                agreedBpm_ = ours;
                send = true;
            }
        }
        if (send) link_.SetTempo(ours);
        const int32_t runState = model_.state.RunState.load();
        if (lastRunState_ != 0 && runState == 0) link_.SetPlaying(false);
        lastRunState_ = runState;
    }
    MidiInPort* in = model_.InPort();
    if (in && scheduled_ == &in->Lock()) {
        const int64_t now = MonotonicNowNs();
        const bool lost = in->Lock().Lost(now);
        if (lost && !lostShown_) {
            model_.state.PostStatus(
                "Input clock lost: running on at " + FormatGeneral(model_.GetBPM()) + " BPM",
                StatusColors::yellow);
        } else if (!lost && lostShown_ && in->Lock().Locked(now)) {
            model_.state.PostStatus("Input clock back", StatusColors::green);
        }
        lostShown_ = lost;
    } else {
        lostShown_ = false;
    }
}

void SyncControl::LinkTempo(double bpm) {
    std::lock_guard lock(tempoMutex_);
    model_.tempo().FollowBPM(bpm);
    // What we run at now counts as agreed, even where the limits kept the session's tempo out:
    // sending ours back would only start a tug of war with the peer.
    agreedBpm_ = model_.GetBPM();
}

void SyncControl::LinkPlaying(bool playing) {
    const bool running = model_.state.RunState.load() != 0;
    if (playing && !running)
        model_.StartTransport(true, false);
    else if (!playing && running)
        model_.StopTransport(true);
}

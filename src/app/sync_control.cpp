#include "app/sync_control.h"

#include <cmath>

#include "app/main_model.h"
#include "midiin/midi_in_port.h"
#include "platform/midi_system.h"
#include "platform/monotonic_clock.h"
#include "platform/number_text.h"

namespace {
// A tempo for the status line: at most three decimals, as everywhere the user reads one.
std::string BpmText(double bpm) {
    return FormatGeneral(std::round(bpm * 1000) / 1000);
}

// "1/2", "4x": how the session's tempo is scaled.
std::string FactorText(double multiplier) {
    if (multiplier < 1) return "1/" + std::to_string(std::lround(1 / multiplier));
    return std::to_string(std::lround(multiplier)) + "x";
}
}  // namespace

SyncControl::SyncControl(KorvidMainModel& model) : model_(model) {
    link_.SetListener(this);
    link_.SetTimer(&model_.Timer());
    link_.SetLatency(&model_.Lookahead());
    link_.SetTempoModel(&model_.tempo());
    link_.SetTickCount(&model_.state.TickCount);
    transport_ = model_.Midi().transport();
    if (transport_) {
        follow_ = std::make_unique<TransportFollow>(*transport_, &model_.Lookahead());
        transport_->SetListener(this);
    }
}

SyncControl::~SyncControl() {
    if (transport_) {
        transport_->SetListener(nullptr);
        transport_->Lead(nullptr);
    }
    if (scheduled_) model_.Timer().SetSchedule(nullptr);
    link_.SetListener(nullptr);
    link_.Enable(false, 0);
}

void SyncControl::SetLinkEnabled(bool on) {
    if (on && TransportMode() == AppSettings::kTransportFollow) {
        model_.state.PostStatus("Link: not while following JACK transport", StatusColors::red,
                                "The clock follows one master: choose another JACK transport "
                                "mode before Link is switched on.");
        return;
    }
    model_.settings.LINKENABLED = on;
    if (on == link_.Enabled()) return;
    {
        std::lock_guard lock(tempoMutex_);
        agreedBpm_ = model_.GetBPM();
        multiplier_ = 1;
        shownMultiplier_ = 1;
    }
    // Leaving: the clock goes back to its own period from its last tick, at the tempo it has
    // (the one the display shows; handed to the timer now rather than at the next pump pass),
    // so nothing jumps. Joining: our tempo is the session's if we are the first.
    if (!on) {
        const int32_t milliBpm = model_.state.TempoMilliBPM.load();
        if (milliBpm > 0) model_.Timer().SetTempo(static_cast<uint32_t>(milliBpm));
    }
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
    std::lock_guard schedule(scheduleMutex_);
    MidiInPort* in = model_.InPort();
    if (in && scheduled_ == &in->Lock()) {
        model_.Timer().SetSchedule(nullptr);
        scheduled_ = nullptr;
    }
}

bool SyncControl::FollowingSession() const {
    std::lock_guard lock(tempoMutex_);
    return multiplier_ > 0;
}

void SyncControl::updateSchedule() {
    std::lock_guard schedule(scheduleMutex_);
    TickSchedule* wanted = nullptr;
    MidiInPort* in = model_.InPort();
    bool lockRefused = false;
    if (link_.Enabled()) {
        // A session whose tempo no power of two brings within our limits is not followed: the
        // clock runs on at its own tempo until the session's comes back within reach.
        if (FollowingSession()) wanted = &link_;
    } else if (TransportMode() == AppSettings::kTransportMaster && follow_ &&
               !(in && in->LockMode())) {
        // Leading: our ticks lie on the grid we write, counted from the transport's frames as
        // every follower counts them; stopped, our own period.
        const TransportView view = transport_->View();
        if (view.rolling && view.hasGrid && transport_->Leading()) wanted = follow_.get();
    } else if (TransportMode() == AppSettings::kTransportFollow && follow_) {
        // The transport's grid while it rolls with bars and beats; stopped, or rolling without
        // a timebase master, our own period at the tempo last followed.
        const TransportView view = transport_->View();
        if (view.rolling && view.hasGrid) wanted = follow_.get();
        lockRefused = in && in->LockMode();
    } else if (in && in->LockMode()) {
        wanted = &in->Lock();
    }
    if (lockRefused && !lockRefusedShown_) {
        model_.state.PostStatus("Input clock lock: not while following JACK transport",
                                StatusColors::yellow,
                                "The clock follows the JACK transport; the input's clock is not "
                                "locked to while it does.");
    }
    lockRefusedShown_ = lockRefused;
    if (wanted == scheduled_) return;
    if (transport_) transport_->SetTicksOnGrid(follow_ && wanted == follow_.get());
    model_.Timer().SetSchedule(wanted);
    scheduled_ = wanted;
}

bool SyncControl::SetTransportMode(int32_t mode) {
    if (mode == AppSettings::kTransportFollow && link_.Enabled()) {
        model_.state.PostStatus("JACK transport: no following while Link is on", StatusColors::red,
                                "The clock follows one master: switch Link off to follow the "
                                "JACK transport. Leading it goes with Link.");
        return false;
    }
    model_.settings.JACKTRANSPORTMODE = mode;
    if (!transport_) {
        if (mode != AppSettings::kTransportOff)
            model_.state.PostStatus("JACK transport: no JACK server", StatusColors::red);
        return mode == AppSettings::kTransportOff;
    }
    transportMode_.store(mode, std::memory_order_release);
    bool led = true;
    if (mode == AppSettings::kTransportMaster) {
        led = transport_->Lead(this);
        leadRunState_ = 0;
    } else {
        transport_->Lead(nullptr);
    }
    updateSchedule();
    const TransportView view = transport_->View();
    if (mode == AppSettings::kTransportFollow) {
        if (view.hasGrid) TransportTempo(view.bpm);
        TransportRolling(view.rolling);
    }
    if (!led) {
        model_.state.PostStatus("JACK transport: could not become timebase master",
                                StatusColors::red);
        return false;
    }
    const char* text = mode == AppSettings::kTransportFollow   ? "JACK transport: following"
                       : mode == AppSettings::kTransportMaster ? "JACK transport: leading"
                                                               : "JACK transport off";
    model_.state.PostStatus(text, StatusColors::blue);
    return true;
}

void SyncControl::TransportAsSet() {
    const int32_t mode = model_.settings.JACKTRANSPORTMODE.load();
    if (mode != TransportMode()) SetTransportMode(mode);
}

void SyncControl::TransportRolling(bool rolling) {
    const int32_t mode = TransportMode();
    if (mode == AppSettings::kTransportOff) return;
    std::lock_guard roll(rollMutex_);
    const bool running = model_.state.RunState.load() != 0;
    if (rolling) {
        // The grid first: the run begins on it.
        updateSchedule();
        if (!running) model_.StartTransport(true, false);
    } else {
        if (running) model_.StopTransport(true);
        updateSchedule();
    }
}

bool SyncControl::RollFirst() {
    // Without a port to send to, a start only asks for one: nothing rolls.
    if (TransportMode() != AppSettings::kTransportMaster || !transport_ || !transport_->Leading() ||
        model_.state.RunState.load() != 0 || !model_.state.PortReady.load() ||
        transport_->View().rolling)
        return false;
    // Under another master's phase (a Link session, a locked input) our start is that master's
    // to place; the transport then rolls after it, with our clock's bars and beats.
    MidiInPort* in = model_.InPort();
    if (link_.Enabled() || (in && in->LockMode())) return false;
    transport_->Roll(true);
    return true;
}

void SyncControl::TransportTempo(double bpm) {
    if (TransportMode() == AppSettings::kTransportFollow) model_.tempo().FollowBPM(bpm);
}

bool SyncControl::BeatAt(int64_t timeNs, double& beat, double& bpm) const {
    bpm = static_cast<double>(model_.Timer().Tempo()) / 1000.0;
    Transport::TickMark fresh;
    if (model_.transport().TakeTickMark(fresh)) mark_ = fresh;
    if (model_.state.RunState.load(std::memory_order_acquire) == 0) return false;
    if (mark_.run != model_.transport().Runs() || !(mark_.periodNs > 0)) {
        beat = 0;  // started, its first tick not yet out
        return true;
    }
    // A tick stamped T is heard at T plus the outputs' latency.
    const double heardAt = static_cast<double>(mark_.timeNs) +
                           static_cast<double>(model_.Lookahead().TickLookaheadNs());
    const double ticks =
        static_cast<double>(mark_.tick) + (static_cast<double>(timeNs) - heardAt) / mark_.periodNs;
    beat = ticks / TransportFollow::kTicksPerBeat;
    return true;
}

void SyncControl::Pump() {
    if (TransportMode() == AppSettings::kTransportMaster && transport_) {
        // Our start and stop become the transport's, for every client that follows it.
        const int32_t runState = model_.state.RunState.load() != 0 ? 1 : 0;
        if (runState != leadRunState_) transport_->Roll(runState != 0);
        leadRunState_ = runState;
    }
    if (link_.Enabled()) {
        const double ours = model_.GetBPM();
        bool send = false;
        double sessionBpm = 0;
        {
            std::lock_guard lock(tempoMutex_);
            if (ours != agreedBpm_) {
                agreedBpm_ = ours;
                send = true;
                // In the session's terms: followed at half its tempo, our 130 asks for 260.
                sessionBpm = ours / (multiplier_ > 0 ? multiplier_ : 1);
            }
        }
        if (send) link_.SetTempo(sessionBpm);
        // The limits may have changed since the session's tempo last came (a settings file
        // read again): follow it once more under the limits in force now.
        const double minimum = model_.settings.BPMMINIMUM.load();
        const double maximum = model_.settings.BPMMAXIMUM.load();
        bool limitsMoved = false;
        {
            std::lock_guard lock(tempoMutex_);
            limitsMoved = minimum != followedMinimum_ || maximum != followedMaximum_;
        }
        if (limitsMoved) followSession(link_.Tempo());
        const int32_t runState = model_.state.RunState.load();
        if (lastRunState_ != 0 && runState == 0) link_.SetPlaying(false);
        lastRunState_ = runState;
    }
    updateSchedule();
    MidiInPort* in = model_.InPort();
    if (in && scheduled_ == &in->Lock()) {
        const int64_t now = MonotonicNowNs();
        // A master that stopped has not gone, and a clock that is not running runs on at
        // nothing; the tempo told is the one our ticks go out at.
        const bool lost = in->Lock().Lost(now) && model_.state.RunState.load() != 0;
        if (lost && !lostShown_) {
            const double sent = in->Lock().SentBpm();
            model_.state.PostStatus("Input clock lost: running on at " +
                                        BpmText(sent > 0 ? sent : model_.GetBPM()) + " BPM",
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
    followSession(bpm);
}

void SyncControl::followSession(double sessionBpm) {
    if (!(sessionBpm > 0)) return;
    std::lock_guard lock(tempoMutex_);
    // Within our limits as it is, or halved or doubled until it is: our clock then stays on
    // the session's beats, each of ours one, two, four ... of the session's (or a half, a
    // quarter ...), and the display shows the tempo the clock sends.
    followedMinimum_ = model_.settings.BPMMINIMUM.load();
    followedMaximum_ = model_.settings.BPMMAXIMUM.load();
    const double multiplier = model_.tempo().FollowMultiplier(sessionBpm);
    multiplier_ = multiplier;
    if (multiplier > 0) model_.tempo().FollowBPM(sessionBpm * multiplier);
    // What we run at now counts as agreed, also where the session is not followed: sending
    // ours back would only start a tug of war with the peer.
    agreedBpm_ = model_.GetBPM();
    // Told when the power changes, not at every move of the session's tempo.
    if (multiplier == shownMultiplier_) return;
    shownMultiplier_ = multiplier;
    // The short text holds no tempo, which would be stale at the session's next move; the
    // detail (the line's tooltip) tells the tempos as they were.
    const AppSettings& s = model_.settings;
    const std::string limits = BpmText(s.BPMMINIMUM.load()) + " to " +
                               BpmText(s.BPMMAXIMUM.load()) + " BPM (BPMMINIMUM, BPMMAXIMUM)";
    const std::string session = "The session's tempo, " + BpmText(sessionBpm) + " BPM, ";
    if (multiplier == 1) {
        model_.state.PostStatus("Link: clock at the session's tempo", StatusColors::blue,
                                session + "lies within " + limits + ".");
    } else if (multiplier > 0) {
        const std::string clock = BpmText(sessionBpm * multiplier);
        model_.state.PostStatus(
            "Link: clock at " + FactorText(multiplier) + " the session's tempo", StatusColors::blue,
            session + "lies outside " + limits + ": the clock runs at " + FactorText(multiplier) +
                " of it, " + clock + " BPM, on the session's beats.");
    } else {
        model_.state.PostStatus("Link: session's tempo out of reach", StatusColors::red,
                                session + "cannot be brought within " + limits +
                                    " by halving or doubling it: the clock runs on at " +
                                    BpmText(model_.GetBPM()) + " BPM, off the session's beats.");
    }
}

void SyncControl::LinkPlaying(bool playing) {
    const bool running = model_.state.RunState.load() != 0;
    if (playing && !running)
        model_.StartTransport(true, false);
    else if (!playing && running)
        model_.StopTransport(true);
}

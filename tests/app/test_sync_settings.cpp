// The Link keys of the settings file, and tempos taken from outside (a session, a locked input)
// exactly as given.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <regex>
#include <thread>

#include "app/settings_file.h"
#include "app/sync_control.h"
#include "midiin/midi_in_port.h"
#include "platform/ini_file.h"
#include "platform/input_time.h"
#include "platform/monotonic_clock.h"
#include "platform/number_text.h"
#include "state/app_settings.h"
#include "support/model_rig.h"
#include "tempo/tick_schedule.h"

TEST(SettingsFileLink, KeysLiveInTheirOwnSectionBothWays) {
    AppSettings settings;
    EXPECT_FALSE(settings.LINKENABLED.load());
    EXPECT_TRUE(settings.LINKSTARTSTOPSYNC.load());
    EXPECT_EQ(settings.LINKQUANTUM.load(), 4);
    settings.LINKENABLED = true;
    settings.LINKSTARTSTOPSYNC = false;
    settings.LINKQUANTUM = 3;
    IniFile file;
    SettingsFile::WriteOptions(file, settings);
    EXPECT_TRUE(file.readBool("LINK", "ENABLED", false));
    EXPECT_FALSE(file.readBool("LINK", "STARTSTOPSYNC", true));
    EXPECT_EQ(file.readFloat("LINK", "QUANTUM", 0), 3);
    EXPECT_FALSE(file.readBool(SettingsFile::kApplicationSection, "ENABLED", false))
        << "not among the application keys";

    AppSettings read;
    SettingsFile::ReadOptions(file, read);
    EXPECT_TRUE(read.LINKENABLED.load());
    EXPECT_FALSE(read.LINKSTARTSTOPSYNC.load());
    EXPECT_EQ(read.LINKQUANTUM.load(), 3);
    // A file without the section changes nothing.
    AppSettings untouched;
    SettingsFile::ReadOptions(IniFile(), untouched);
    EXPECT_FALSE(untouched.LINKENABLED.load());
    EXPECT_EQ(untouched.LINKQUANTUM.load(), 4);
}

TEST(SettingsFileLink, JackTransportModeIsAWordInItsOwnSection) {
    AppSettings settings;
    EXPECT_EQ(settings.JACKTRANSPORTMODE.load(), AppSettings::kTransportOff);
    settings.JACKTRANSPORTMODE = AppSettings::kTransportMaster;
    IniFile file;
    SettingsFile::WriteOptions(file, settings);
    EXPECT_EQ(file.readString("JACKTRANSPORT", "MODE", ""), "master");
    AppSettings read;
    SettingsFile::ReadOptions(file, read);
    EXPECT_EQ(read.JACKTRANSPORTMODE.load(), AppSettings::kTransportMaster);
    // Any case; a word that is none of the three keeps the mode held now.
    ASSERT_TRUE(file.loadText("[JACKTRANSPORT]\nMODE=Follow\n"));
    SettingsFile::ReadOptions(file, read);
    EXPECT_EQ(read.JACKTRANSPORTMODE.load(), AppSettings::kTransportFollow);
    ASSERT_TRUE(file.loadText("[JACKTRANSPORT]\nMODE=slave\n"));
    SettingsFile::ReadOptions(file, read);
    EXPECT_EQ(read.JACKTRANSPORTMODE.load(), AppSettings::kTransportFollow);
}

TEST(SettingsFileLink, APatchCarriesNoLinkKeys) {
    TempFolder folder;
    folder.write("live.tvp",
                 "[BPM_PRESETS]\nF6BPM=133\n"
                 "[LINK]\nENABLED=1\nSTARTSTOPSYNC=0\nQUANTUM=7\n");
    AppSettings settings;
    settings.LINKSTARTSTOPSYNC = true;
    ASSERT_TRUE(SettingsFile::GetPatchINI(folder.file("live.tvp"), settings));
    EXPECT_EQ(settings.F6BPM.load(), 133);
    EXPECT_FALSE(settings.LINKENABLED.load());
    EXPECT_TRUE(settings.LINKSTARTSTOPSYNC.load());
    EXPECT_EQ(settings.LINKQUANTUM.load(), 4);
}

TEST(FollowBPM, APowerOfTwoBringsAnOutsideTempoWithinTheLimits) {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    m.settings.BPMMINIMUM = 60;
    m.settings.BPMMAXIMUM = 200;
    const TempoModel& t = m.tempo();
    EXPECT_EQ(t.FollowMultiplier(120), 1);
    EXPECT_EQ(t.FollowMultiplier(250), 0.5);
    EXPECT_EQ(t.FollowMultiplier(999), 0.125);  // 124.875
    EXPECT_EQ(t.FollowMultiplier(20), 4);       // 80; 40 is too slow
    EXPECT_EQ(t.FollowMultiplier(200.4), 1);    // the whole BPM counts, as for FollowBPM
    EXPECT_EQ(t.FollowMultiplier(200.5), 0.5);
    for (double broken : {0.0, -120.0, std::nan(""), HUGE_VAL})
        EXPECT_EQ(t.FollowMultiplier(broken), 0);
    // Limits closer than an octave: 170 has no power of two within 100 to 150.
    m.settings.BPMMINIMUM = 100;
    m.settings.BPMMAXIMUM = 150;
    EXPECT_EQ(t.FollowMultiplier(170), 0);
    EXPECT_EQ(t.FollowMultiplier(260), 0.5);
}

TEST(FollowBPM, TakesTheTempoUnroundedWithinTheLimits) {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    m.settings.BPMROUNDING = 1.0;
    m.settings.BPMMINIMUM = 40;
    m.settings.BPMMAXIMUM = 200;
    const int changes = m.state.TempoChanges.load();
    EXPECT_TRUE(m.tempo().FollowBPM(123.4567));
    EXPECT_EQ(m.GetBPM(), 123.4567);
    EXPECT_EQ(m.state.TempoMilliBPM.load(), 123457);
    EXPECT_EQ(m.state.TempoChanges.load(), changes + 1);
    // The same tempo again is no change (no message to the devices, no pump work).
    EXPECT_TRUE(m.tempo().FollowBPM(123.4567));
    EXPECT_EQ(m.state.TempoChanges.load(), changes + 1);
    for (double refused : {39.99, 200.5, 0.0, -5.0, std::nan("")}) {
        EXPECT_FALSE(m.tempo().FollowBPM(refused)) << refused;
        EXPECT_EQ(m.GetBPM(), 123.4567);
    }
    EXPECT_TRUE(m.tempo().FollowBPM(200.4));  // the maximum counts whole BPM, as for SetBPM
}

namespace {
struct BarLineLater : TickSchedule {
    int64_t firstNs = 0;
    void BeginRun(int64_t, bool, int64_t) override {}
    int64_t TickDueNs(int64_t k) override { return firstNs + k * 20'000'000; }
    int64_t FirstTickAtOrAfter(int64_t nowNs) override {
        return nowNs <= firstNs ? 0 : (nowNs - firstNs + 19'999'999) / 20'000'000;
    }
};
}  // namespace

TEST(TransportWithSchedule, StartGoesOutWithTheFirstTickNotABarEarlier) {
    ModelRig rig;
    rig.openPort1();
    BarLineLater schedule;
    schedule.firstNs = rig.clock.nowNs() + 1'500'000'000;  // the next bar line, 1.5 s away
    rig.model->Timer().SetSchedule(&schedule);
    rig.model->StartTransport(true, false);
    rig.clock.advanceMs(100);
    rig.model->Timer().Poll();
    EXPECT_EQ(ModelRig::count(rig.sent("synth"), "FA"), 0);
    ASSERT_TRUE(rig.tick());
    const std::vector<std::string> sent = rig.sent("synth");
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], "FA");
    EXPECT_EQ(sent.back(), "F8");
    ASSERT_TRUE(rig.tick());
    EXPECT_EQ(ModelRig::count(rig.sent("synth"), "FA"), 1);

    // Without a schedule, Start goes out at once, as always.
    rig.model->StopTransport(true);
    rig.model->Timer().SetSchedule(nullptr);
    rig.model->StartTransport(true, false);
    EXPECT_EQ(ModelRig::count(rig.sent("synth"), "FA"), 2);
    rig.model->StopTransport(true);
}

TEST(TransportWithSchedule, TicksDroppedByAStallStillCountSoBarsStayInPlace) {
    ModelRig rig;
    rig.openPort1();
    BarLineLater schedule;
    schedule.firstNs = rig.clock.nowNs() + 10'000'000;
    rig.model->Timer().SetSchedule(&schedule);
    rig.model->StartTransport(true, false);
    EXPECT_FALSE(rig.model->Timer().Poll());  // begins the run: its first tick is 10 ms away
    ASSERT_TRUE(rig.tick());                  // tick 0
    ASSERT_TRUE(rig.tick());                  // tick 1
    EXPECT_EQ(rig.model->state.TickCount.load(), 2);
    rig.clock.advanceMs(20 * 10 + 5);  // ticks 2 to 11 pass unseen: far later than allowed
    EXPECT_FALSE(rig.model->Timer().Poll());
    ASSERT_TRUE(rig.tick());  // the schedule's tick 12
    EXPECT_EQ(rig.model->state.TickCount.load(), 13);
    rig.model->StopTransport(true);
}

TEST(LockedInput, AStopIsNoLossAndALossTellsTheTempoTheClockSendsWithThreeDecimals) {
    ModelRig rig;
    KorvidMainModel& m = *rig.model;
    m.settings.BPMMAXIMUM = 2500;
    rig.openPort1();
    rig.folder.write("indrv/Lock.ini", "[DEVICECONFIGURATION]\nTEMPOVANE_IN_LOCK=1\n");
    m.CreateInPort(rig.folder.path() + "indrv/");
    SelectByName(m.inControls.deviceType, "Lock");
    m.InPort()->DeviceTypeChanged();
    ASSERT_TRUE(m.InPort()->LockMode());
    m.Sync().Pump();  // the clock follows the lock from now on

    // A master at 624.98 BPM, in real time: the loss is judged on the system's clock.
    constexpr int64_t kPeriod = 4'000'123;
    auto clocks = [&](int count) {
        const int64_t end = MonotonicNowNs();
        for (int i = count - 1; i >= 0; --i) {
            SetDeliveredInputTimeNs(end - i * kPeriod);
            m.InPort()->DispatchShort(0xF8, 0, 0, 0);
        }
        SetDeliveredInputTimeNs(0);
    };
    clocks(200);
    rig.clock.setNs(MonotonicNowNs());
    m.StartTransport(true, false);
    m.Timer().Poll();  // begins the run: its first tick is the master's next
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(rig.tick());
    const double sent = m.InPort()->Lock().SentBpm();
    EXPECT_NEAR(sent, 60e9 / (24.0 * kPeriod), 0.01);
    // The followed tempo is not what the clock sends (two masters jumbled, say).
    ASSERT_TRUE(m.tempo().FollowBPM(254.595630055118));

    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // over 48 clocks
    m.Sync().Pump();
    const std::string text = m.state.PendingStatus().text;
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(Input clock lost: running on at \d+(\.\d{1,3})? BPM)")))
        << text;
    EXPECT_EQ(text, "Input clock lost: running on at " +
                        FormatGeneral(std::round(sent * 1000) / 1000) + " BPM");

    // The master's Stop: our clock stops, and the silence after it is no loss.
    clocks(100);
    m.Sync().Pump();
    ASSERT_EQ(m.state.PendingStatus().text, "Input clock back");
    SetDeliveredInputTimeNs(MonotonicNowNs());
    m.InPort()->DispatchShort(0xFC, 0, 0, 0);
    SetDeliveredInputTimeNs(0);
    EXPECT_EQ(m.state.RunState.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(m.InPort()->Lock().Lost(MonotonicNowNs()));
    m.Sync().Pump();
    EXPECT_EQ(m.state.PendingStatus().text.rfind("Input clock lost", 0), std::string::npos)
        << m.state.PendingStatus().text;
    // Its next clocks and a silence after them are a loss again, but with our clock stopped
    // nothing runs on, and the status line does not say it does.
    clocks(50);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(m.InPort()->Lock().Lost(MonotonicNowNs()));
    m.Sync().Pump();
    EXPECT_EQ(m.state.PendingStatus().text.rfind("Input clock lost", 0), std::string::npos)
        << m.state.PendingStatus().text;
}

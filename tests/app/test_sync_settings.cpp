// The Link keys of the settings file, and tempos taken from outside (a session, a locked input)
// exactly as given.
#include <gtest/gtest.h>

#include "app/settings_file.h"
#include "platform/ini_file.h"
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
    ASSERT_TRUE(rig.tick());  // tick 0
    ASSERT_TRUE(rig.tick());  // tick 1
    EXPECT_EQ(rig.model->state.TickCount.load(), 2);
    rig.clock.advanceMs(20 * 10 + 5);  // ticks 2 to 11 pass unseen: far later than allowed
    EXPECT_FALSE(rig.model->Timer().Poll());
    ASSERT_TRUE(rig.tick());  // the schedule's tick 12
    EXPECT_EQ(rig.model->state.TickCount.load(), 13);
    rig.model->StopTransport(true);
}

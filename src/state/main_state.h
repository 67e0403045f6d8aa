#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "state/status_color.h"

// The main window's state record: what the clock thread, the MIDI input thread and the UI
// exchange. Other threads write a field and bump its change counter; the 50 ms pump on the UI
// thread clears the counter first and then reads the newest data, so nothing is lost but
// intermediate states. Numbers and flags are atomics; the two strings sit behind small locks.
class MainState {
  public:
    MainState();

    std::atomic<int32_t> TickCount{0};  // ticks since the last start
    // Ticks the clock raised since the last start. Not TickCount, which is the place in the bar
    // count: it goes on by ticks a schedule skipped, jumps to a schedule's bar when one takes
    // over, and an input action resets it.
    std::atomic<int64_t> TicksSent{0};
    std::atomic<double> CurrentBPM{0.0};  // tempo last accepted by SetBPM
    std::atomic<int32_t> TempoMilliBPM{
        120000};  // the same in thousandths; what the pump gives the timer
    std::atomic<int32_t> TempoChanges{0};
    std::atomic<int32_t> StatusChanges{0};
    std::atomic<int32_t> TapStep{0};  // 0 = no tap sequence
    std::atomic<int32_t> TapChanges{0};
    std::atomic<bool> ShowTickPeriod{false};  // the caption shows the tick period
    std::atomic<bool> FlashOn{false};
    std::atomic<int32_t> FlashChanges{0};
    std::atomic<int32_t> RunState{0};  // 0 stopped, 1 running
    std::atomic<int32_t> RunStateChanges{0};
    std::atomic<bool> PortReady{false};  // the last output port selection opened a port
    std::atomic<int32_t> LearnChanges{0};
    std::atomic<double> RawClockInBPM{0.0};
    std::atomic<double> FilteredClockInBPM{0.0};

    // The tap sequence's step, shown by the pump: AdvanceTapStep adds one, SetTapStep sets it.
    void AdvanceTapStep() {
        TapStep.fetch_add(1, std::memory_order_acq_rel);
        TapChanges.fetch_add(1, std::memory_order_acq_rel);
    }
    void SetTapStep(int32_t step) {
        TapStep.store(step, std::memory_order_release);
        TapChanges.fetch_add(1, std::memory_order_acq_rel);
    }

    // Any thread but the clock thread, which must not wait for the UI's copy of the text (it
    // posts a code instead). text is what the line shows and should be short; detail, when
    // given, is the whole story (paths, the system's reason), shown when the user points at
    // the line.
    void PostStatus(std::string_view text, StatusColor color, std::string_view detail = {});

    // Statuses with a fixed text, posted by number: two atomic writes, no lock, no text, so the
    // clock thread can post them. PendingStatus turns the number into its text.
    // Any thread; real-time safe.
    enum class StatusCode : uint8_t { Running = 1 };
    void PostStatusCode(StatusCode code);

    struct Status {
        std::string text;
        StatusColor color;
        std::string detail;
    };
    Status PendingStatus() const;
    // Every status posted after `serial` (0: from the first), oldest first, and moves `serial`
    // on past them: for a log that must not lose one that a newer one followed within a pump
    // pass. Keeps the last kStatusHistory texts; of the coded statuses, the newest.
    static constexpr size_t kStatusHistory = 16;
    std::vector<Status> StatusesSince(uint64_t& serial) const;

    void SetLearnText(std::string_view text);
    std::string LearnText() const;

  private:
    static Status CodedStatus(uint8_t code);

    // Every post takes the next serial; the newer of the last text and the last code is shown.
    std::atomic<uint64_t> statusSerial_{0};
    std::atomic<uint64_t> statusCodeWord_{0};  // serial << 8 | code
    mutable std::mutex statusMutex_;
    // The last texts posted, in a ring whose strings are reserved up front, so that posting
    // from the input thread does not allocate.
    struct PostedStatus {
        uint64_t serial = 0;
        Status status;
    };
    std::array<PostedStatus, kStatusHistory> posted_;
    size_t postedCount_ = 0;  // ever; the newest is posted_[(postedCount_ - 1) % size]
    mutable std::mutex learnMutex_;
    std::string learnText_;
};

// The detail of a port's "not ready" status: which port, and which device it could not open
// ("MIDI Port 2: \"JACK: synth:in\" could not be opened"; "MIDI Port 2: no device chosen"
// where a saved index beyond the list left the box empty).
std::string NotReadyDetail(const std::string& port, const std::string& device, int index);

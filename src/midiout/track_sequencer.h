#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "state/status_color.h"

class TMidiOutput;

// The step sequencer every clock output port carries: up to 16 tracks, each one note on one
// channel, played sixteen steps to a bar of the port's clock.
//
// Threads: PlayStep runs on the clock thread while the UI thread loads patterns, toggles steps,
// stops and draws. Every field the clock thread reads is an atomic of its own, and a step packs
// its note and velocity into one atomic, so no step is ever read half written. A pattern loaded
// while the clock runs may play one step that mixes old and new tracks, which is harmless; what
// must never happen is a note left sounding, so each track remembers the exact note-off it owes
// for the note it played instead of working it out again from a pattern that may have changed.

// One track: a note on a channel and 64 steps of (note, velocity).
class SeqTrack {
  public:
    static constexpr int kSteps = 64;
    static constexpr uint8_t kDefaultNote = 36;
    static constexpr uint8_t kDefaultVelocity = 116;

    struct Step {
        uint8_t note = 0;
        int8_t velocity = 0;  // 0 is a rest; negative values are never played
    };

    explicit SeqTrack(uint8_t defaultChannel = 9) : defaultChannel_(defaultChannel) {}
    SeqTrack(const SeqTrack&) = delete;
    SeqTrack& operator=(const SeqTrack&) = delete;

    // Reads "key=pattern" (see the TRACKS section of an output definition). False, and nothing
    // changed but the hold mark, for a line shorter than two characters.
    bool ParseLine(const std::string& line);
    void ClearSteps();
    // Clock thread; real-time safe (no allocation, no lock of its own; sends as the device does).
    void PlayStep(int32_t s, TMidiOutput& device, int64_t timeNs = 0);
    void AllNotesOff(TMidiOutput& device, int64_t timeNs = 0);

    Step StepAt(int i) const;
    void SetStep(int i, Step step);
    // The mouse edit: a sounding step becomes a rest, a rest becomes velocity 127.
    void ToggleStep(int i);

    const std::string& Label() const { return label_; }
    uint8_t Channel() const { return channel_.load(std::memory_order_relaxed); }
    uint8_t Note() const { return note_; }
    bool Hold() const { return hold_.load(std::memory_order_relaxed); }
    int32_t StepCount() const { return stepCount_; }
    int32_t CurrentStep() const { return currentStep_.load(std::memory_order_relaxed); }

  private:
    static uint16_t pack(Step step) {
        return static_cast<uint16_t>(step.note << 8 | static_cast<uint8_t>(step.velocity));
    }
    static void sendOff(uint32_t owed, TMidiOutput& device, int64_t timeNs);
    static Step unpack(uint16_t v) {
        return {static_cast<uint8_t>(v >> 8), static_cast<int8_t>(static_cast<uint8_t>(v))};
    }

    const uint8_t defaultChannel_;
    std::string label_;  // UI thread only
    uint8_t note_ = kDefaultNote;
    int32_t stepCount_ = 0;
    std::atomic<uint8_t> channel_{defaultChannel_};
    std::atomic<bool> hold_{false};
    std::array<std::atomic<uint16_t>, kSteps> steps_{};
    std::atomic<int32_t> currentStep_{0};
    // The note-off owed for the current step (status << 8 | note, with kOwed set), or 0.
    static constexpr uint32_t kOwed = 1u << 16;
    std::atomic<uint32_t> owedOff_{0};
};

// The 16 tracks of a port.
class SeqSet {
  public:
    static constexpr int kTracks = 16;
    static constexpr uint8_t kDefaultChannel = 9;

    SeqSet();

    // Sends the owed note-offs, then gives track i line i (lines past the 16th are ignored)
    // and clears the tracks without a line. Returns how many lines parsed.
    int32_t LoadTracks(const std::vector<std::string>& lines, TMidiOutput& device);
    // Clock thread; real-time safe.
    void PlayStep(int32_t s, TMidiOutput& device, int64_t timeNs = 0);
    void AllNotesOff(TMidiOutput& device, int64_t timeNs = 0);

    SeqTrack& Track(int i) { return *tracks_[static_cast<size_t>(i)]; }
    const SeqTrack& Track(int i) const { return *tracks_[static_cast<size_t>(i)]; }

  private:
    std::array<std::unique_ptr<SeqTrack>, kTracks> tracks_;
};

// What the painter does for one cell of the grid. Colours are plain RGB so the core needs no
// toolkit; `background` means the window's own background colour instead of `fill`/`outline`.
struct GridCellPaint {
    int left, top, right, bottom;  // the square, edges included
    bool background;               // row without a loaded track
    StatusColor fill;
    StatusColor outline;
};

namespace GridColors {
inline constexpr StatusColor hit{255, 0, 0};
inline constexpr StatusColor rest{255, 255, 255};
inline constexpr StatusColor playing{255, 255, 0};
inline constexpr StatusColor idle{128, 128, 128};
}  // namespace GridColors

// Paints what Draw decides; the window implements it.
class GridPainter {
  public:
    virtual ~GridPainter() = default;
    virtual void PaintCell(const GridCellPaint& cell) = 0;
};

// A port's sequencer: its set, the step played last and the 16 x 16 grid on the main window.
class VisualSeq {
  public:
    static constexpr int kCellSize = 10;
    static constexpr int kCellGap = 2;
    static constexpr int kTrackRows = 16;
    static constexpr int kStepColumns = 16;

    VisualSeq(int rowOrigin, int columnOrigin)
        : rowOrigin_(rowOrigin), columnOrigin_(columnOrigin) {}

    void LoadTracks(const std::vector<std::string>& lines, TMidiOutput& device);
    // Clock thread; real-time safe.
    void PlayStep(int32_t s, TMidiOutput& device, int64_t timeNs = 0);
    void AllNotesOff(TMidiOutput& device, int64_t timeNs = 0);
    // Hands every cell to the painter and clears the changed mark.
    void Draw(GridPainter& painter);
    // The cell's paint, for the painter and for tests.
    GridCellPaint CellPaint(int column, int row) const;
    // Toggles a step from the mouse (row = track, column = step) and marks the grid changed.
    void ToggleCell(int row, int column);
    // The box around all squares, for the area a redraw must cover.
    int Left() const { return columnOrigin_ - kCellSize / 2; }
    int Top() const { return rowOrigin_ - kCellSize / 2; }
    int Width() const { return kStepColumns * (kCellSize + kCellGap); }
    int Height() const { return kTrackRows * (kCellSize + kCellGap); }

    bool Changed() const { return changed_.load(std::memory_order_acquire); }
    void MarkChanged() { changed_.store(true, std::memory_order_release); }
    int32_t CurrentStep() const { return currentStep_.load(std::memory_order_acquire); }
    int32_t LoadedTracks() const { return loadedTracks_.load(std::memory_order_acquire); }
    int RowOrigin() const { return rowOrigin_; }
    int ColumnOrigin() const { return columnOrigin_; }
    SeqSet& Set() { return set_; }
    const SeqSet& Set() const { return set_; }

  private:
    const int rowOrigin_;
    const int columnOrigin_;
    std::atomic<int32_t> loadedTracks_{0};
    std::atomic<int32_t> currentStep_{0};
    std::atomic<bool> changed_{true};
    SeqSet set_;
};

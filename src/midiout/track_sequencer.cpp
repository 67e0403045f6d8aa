#include "midiout/track_sequencer.h"

#include "midiout/midi_output.h"
#include "platform/midi_bytes.h"
#include "state/hexroutines.h"

namespace {
using midi::kNoteOff;
using midi::kNoteOn;
constexpr int8_t kToggledVelocity = 127;

// Two characters of the line from 1-based position `from` as a hex number.
int32_t HexAt(const std::string& line, size_t from) {
    return HexToInt(std::string_view(line).substr(from - 1, 2));
}
}  // namespace

bool SeqTrack::ParseLine(const std::string& line) {
    hold_.store(false, std::memory_order_relaxed);
    if (line.size() < 2) return false;
    // 1-based position of the first "=", 0 when there is none.
    const size_t found = line.find('=');
    const size_t e = found == std::string::npos ? 0 : found + 1;

    label_ = line.substr(0, 2);
    // Notes and channels are kept in range: a byte above them would be a status byte.
    note_ = e < 4 ? kDefaultNote : static_cast<uint8_t>(HexAt(line, 3) & 0x7F);
    const int8_t velocity =
        static_cast<int8_t>(e < 6 ? kDefaultVelocity : static_cast<uint8_t>(HexAt(line, 5)));
    channel_.store(e < 8 ? defaultChannel_ : static_cast<uint8_t>(HexAt(line, 7) & 0x0F),
                   std::memory_order_relaxed);
    hold_.store(e >= 9 && line[8] == 'X', std::memory_order_relaxed);

    // Steps past the 64th have no place in the track and are dropped.
    int32_t k = 0;
    for (size_t i = e == 0 ? 0 : e - 1; i < line.size() && k < kSteps; ++i) {
        if (line[i] == '0')
            SetStep(k++, {note_, 0});
        else if (line[i] == '1')
            SetStep(k++, {note_, velocity});
    }
    stepCount_ = k;
    return true;
}

void SeqTrack::ClearSteps() {
    for (auto& step : steps_) step.store(0, std::memory_order_relaxed);
}

SeqTrack::Step SeqTrack::StepAt(int i) const {
    return unpack(steps_[static_cast<size_t>(i)].load(std::memory_order_relaxed));
}

void SeqTrack::SetStep(int i, Step step) {
    steps_[static_cast<size_t>(i)].store(pack(step), std::memory_order_relaxed);
}

void SeqTrack::ToggleStep(int i) {
    auto& slot = steps_[static_cast<size_t>(i)];
    uint16_t old = slot.load(std::memory_order_relaxed);
    Step step;
    do {
        step = unpack(old);
        step.velocity = step.velocity != 0 ? int8_t{0} : kToggledVelocity;
    } while (!slot.compare_exchange_weak(old, pack(step), std::memory_order_relaxed));
}

void SeqTrack::PlayStep(int32_t s, TMidiOutput& device, int64_t timeNs) {
    const Step step = StepAt(s % kSteps);
    const uint8_t channel = channel_.load(std::memory_order_relaxed);
    // A step with any non-zero velocity owes a note-off, even one too loud to have been played.
    const uint32_t owe =
        step.velocity != 0 ? kOwed | uint32_t(kNoteOff + channel) << 8 | step.note : 0;
    uint32_t owed = owedOff_.load(std::memory_order_acquire);
    // A held note rings on; only stopping or loading silences it, and then only the last one.
    if (owed != 0 && !hold_.load(std::memory_order_relaxed)) sendOff(owed, device, timeNs);
    if (step.velocity > 0)
        device.SendShort(static_cast<uint8_t>(kNoteOn + channel), step.note,
                         static_cast<uint8_t>(step.velocity), timeNs);
    // The debt is published only after the note-on went out, so a stop on the UI thread can
    // never send this note's off ahead of its on. If a stop or load took the old debt
    // meanwhile, it meant to silence the track: this note ends at once.
    if (!owedOff_.compare_exchange_strong(owed, owe, std::memory_order_acq_rel) && owe != 0)
        sendOff(owe, device, timeNs);
    currentStep_.store(s, std::memory_order_relaxed);
}

void SeqTrack::sendOff(uint32_t owed, TMidiOutput& device, int64_t timeNs) {
    device.SendShort(static_cast<uint8_t>(owed >> 8), static_cast<uint8_t>(owed), 0, timeNs);
}

void SeqTrack::AllNotesOff(TMidiOutput& device, int64_t timeNs) {
    const uint32_t owed = owedOff_.exchange(0, std::memory_order_acq_rel);
    if (owed != 0) sendOff(owed, device, timeNs);
}

SeqSet::SeqSet() {
    for (auto& track : tracks_) track = std::make_unique<SeqTrack>(kDefaultChannel);
}

int32_t SeqSet::LoadTracks(const std::vector<std::string>& lines, TMidiOutput& device) {
    AllNotesOff(device);
    int32_t count = 0;
    for (int i = 0; i < kTracks; ++i) {
        if (static_cast<size_t>(i) < lines.size()) {
            if (Track(i).ParseLine(lines[static_cast<size_t>(i)])) ++count;
        } else {
            Track(i).ClearSteps();
        }
    }
    return count;
}

void SeqSet::PlayStep(int32_t s, TMidiOutput& device, int64_t timeNs) {
    for (auto& track : tracks_) track->PlayStep(s, device, timeNs);
}

void SeqSet::AllNotesOff(TMidiOutput& device, int64_t timeNs) {
    for (auto& track : tracks_) track->AllNotesOff(device, timeNs);
}

void VisualSeq::LoadTracks(const std::vector<std::string>& lines, TMidiOutput& device) {
    loadedTracks_.store(set_.LoadTracks(lines, device), std::memory_order_release);
    MarkChanged();
}

void VisualSeq::PlayStep(int32_t s, TMidiOutput& device, int64_t timeNs) {
    set_.PlayStep(s, device, timeNs);
    currentStep_.store(s, std::memory_order_release);
    MarkChanged();
}

void VisualSeq::AllNotesOff(TMidiOutput& device, int64_t timeNs) {
    set_.AllNotesOff(device, timeNs);
}

GridCellPaint VisualSeq::CellPaint(int column, int row) const {
    const int x = columnOrigin_ + column * (kCellSize + kCellGap);
    const int y = rowOrigin_ + row * (kCellSize + kCellGap);
    // kCellSize pixels a side with both edges counted, so kCellGap pixels stay free between
    // neighbours: the right and bottom edges lie one pixel inside x + half and y + half.
    constexpr int half = kCellSize / 2;
    GridCellPaint cell{x - half, y - half, x + half - 1, y + half - 1, row >= LoadedTracks(),
                       {},       {}};
    const bool outlined = CurrentStep() % kStepColumns == column;
    cell.fill = set_.Track(row).StepAt(column).velocity > 0 ? GridColors::hit : GridColors::rest;
    cell.outline = outlined ? GridColors::playing : GridColors::idle;
    return cell;
}

void VisualSeq::Draw(GridPainter& painter) {
    changed_.store(false, std::memory_order_release);
    for (int i = 0; i < kStepColumns; ++i)
        for (int j = 0; j < kTrackRows; ++j) painter.PaintCell(CellPaint(i, j));
}

void VisualSeq::ToggleCell(int row, int column) {
    if (row >= 0 && row < kTrackRows && column >= 0 && column < kStepColumns)
        set_.Track(row).ToggleStep(column);
    MarkChanged();
}

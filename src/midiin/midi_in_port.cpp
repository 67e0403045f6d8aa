#include "midiin/midi_in_port.h"

#include <algorithm>
#include <filesystem>
#include <thread>

#include <cmath>

#include "platform/ini_file.h"
#include "platform/input_time.h"
#include "platform/midi_bytes.h"
#include "platform/midi_system.h"
#include "platform/monotonic_clock.h"
#include "state/action_codes.h"
#include "state/definition_files.h"
#include "state/list_model.h"
#include "state/main_state.h"

namespace {
// A locked tempo is handed on at most this often (each hand-on also tells the output devices
// the tempo), unless the lock has just recognised a new tempo, and only when it has moved.
constexpr int64_t kLockFollowIntervalNs = 250'000'000;
constexpr double kLockFollowStepBpm = 0.0005;
// The shortest stretch of clock a measurement divides by: the stamps have whole milliseconds.
constexpr int32_t kMinMeasureMs = 250;
// The tempo a pause is judged by before anything is known: a master slower than this has gaps
// of more than two beats between its clocks.
constexpr double kSlowestMasterBpm = 20;
constexpr double kCodeStart = ActionValue(ActionCode::Start);
constexpr double kCodeStop = ActionValue(ActionCode::Stop);
constexpr double kControllerToTempo = ActionValue(ActionCode::ControllerToTempo);
constexpr double kByte1Map = kByte1MapValue;
constexpr double kTapAnyByte1 = kTapAnyKeyValue;
constexpr double kTap = ActionValue(ActionCode::Tap);
constexpr double kBeatPeriod = ActionValue(ActionCode::ControlInput);
using midi::kActiveSensing;
using midi::kContinue;
using midi::kStart;
using midi::kStop;
using midi::kTimingClock;

std::string FileNamePart(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string StemOf(const std::string& fileName) {
    const size_t dot = fileName.find_last_of('.');
    return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// AvgFilter

AvgFilter::AvgFilter(uint8_t length, bool flag)
    : length_(length == 0 ? 1 : length), head_(length_), flag_(flag) {}

double AvgFilter::Push(double x) {
    ring_[tail_] = 0;
    ring_[head_] = x;
    ++tail_;  // both wrap at 256
    ++head_;
    double sum = 0;
    for (int k = 0; k < length_; ++k) sum += ring_[static_cast<uint8_t>(tail_ + k)] / length_;
    result_ = sum;
    return result_;
}

// ---------------------------------------------------------------------------------------------
// MidiInPort

MidiInPort::MidiInPort(std::string name, MainState& main, Controls controls, MidiSystem& system,
                       InputActions& actions, std::string inputFolder, std::string ownPortName)
    : name_(std::move(name)),
      main_(main),
      controls_(controls),
      actions_(actions),
      device_(system, std::move(ownPortName)),
      inputFolder_(std::move(inputFolder)) {
    device_.OnShort = [this](TMidiInput&, uint8_t status, uint8_t first, uint8_t second,
                             int32_t timeStamp) {
        DispatchShort(status, first, second, timeStamp);
    };
    // System Exclusive is received and dropped.
    device_.OnSysEx = [](TMidiInput&, const uint8_t*, int32_t) {};
    for (auto& value : tristateValue_) value = 0;
    for (auto& state : tristateState_) state = -1;
    map_.store(new InputMap(), std::memory_order_seq_cst);
    FillPortList();
}

MidiInPort::~MidiInPort() {
    device_.SetUsing(false);  // no delivery runs after this
    delete map_.exchange(nullptr);
}

void MidiInPort::FillPortList() {
    FillDeviceList(controls_.portSelector, device_);
}

void MidiInPort::RefreshPortList() {
    ListModel& ports = controls_.portSelector;
    const bool none = ports.index() < 0 || ShowsNone();
    const std::string current = none ? std::string() : ports.text();
    device_.RefreshDevices(current);
    FillPortList();  // selects "None"
    if (none) return;
    const std::vector<std::string> items = ports.items();
    const auto at = std::find(items.begin(), items.end(), current);
    if (at != items.end()) ports.setIndex(static_cast<int>(at - items.begin()));
}

bool MidiInPort::ShowsNone() const {
    return controls_.portSelector.index() == device_.NumDevs();
}

std::optional<MidiInPort::SavedPort> MidiInPort::MissingSavedPort() const {
    return missingSavedPort_;
}

bool MidiInPort::OpenMissingSavedPort() {
    const std::optional<SavedPort> missing = missingSavedPort_;
    if (!missing || !ShowsNone()) return false;
    RefreshPortList();
    ListModel& ports = controls_.portSelector;
    if (!SelectByName(ports, missing->name) &&
        !SelectByName(ports, MidiSystem::StableDeviceName(TrimmedText(missing->name))))
        return false;
    openSelectedPort(true);
    if (device_.Using() && device_.LastOpenResult() == TMidiInput::kOpenOk) return true;
    // Listed but not ready yet: it stays the saved one until a later try.
    device_.SetUsing(false);
    ports.setIndex(device_.NumDevs());
    missingSavedPort_ = missing;
    return false;
}

void MidiInPort::OpenSelectedPort() {
    openSelectedPort(false);
}

void MidiInPort::openSelectedPort(bool quiet) {
    const int index = controls_.portSelector.index();
    if (index == device_.NumDevs()) {
        device_.SetUsing(false);  // "None": a missing saved device is still remembered
        return;
    }
    missingSavedPort_.reset();  // another device is chosen: the missing one is let go
    device_.SetUsing(false);
    device_.ClearResults();
    device_.SetPort(index);
    device_.SetUsing(true);
    if (device_.LastOpenResult() != TMidiInput::kOpenOk && !quiet)
        main_.PostStatus("MIDI IN Port not ready!", StatusColors::red,
                         NotReadyDetail("MIDI IN Port", controls_.portSelector.text(), index));
}

void MidiInPort::SavePortSettings(IniFile& file) const {
    if (missingSavedPort_ && ShowsNone()) {
        file.writeInt(name_, "MIDIPORTINDEX", missingSavedPort_->index);
        file.writeString(name_, "MIDIPORTNAME", missingSavedPort_->name);
    } else {
        file.writeInt(name_, "MIDIPORTINDEX", controls_.portSelector.index());
        file.writeString(name_, "MIDIPORTNAME", controls_.portSelector.text());
    }
    file.writeString(name_, "DEVICETYPE", controls_.deviceTypeSelector.text());
}

std::string MidiInPort::LoadPortSettings(const IniFile& file, bool applyPort) {
    std::string missing;
    ListModel& ports = controls_.portSelector;
    if (applyPort) {
        const int32_t savedIndex = file.readInt(name_, "MIDIPORTINDEX", ports.index());
        ports.setIndex(savedIndex);
        const std::string portName = file.readString(name_, "MIDIPORTNAME", ports.text());
        // A name saved with ALSA's client:port numbers still finds its device without them.
        if (!SelectByName(ports, portName) &&
            !SelectByName(ports, MidiSystem::StableDeviceName(TrimmedText(portName))))
            missing = portName;
        if (missing.empty())
            missingSavedPort_.reset();
        else
            missingSavedPort_ = SavedPort{portName, savedIndex};
    }
    ListModel& types = controls_.deviceTypeSelector;
    if (types.text().empty()) types.setIndex(types.count() - 1);
    SelectByName(types, file.readString(name_, "DEVICETYPE", types.text()));
    DeviceTypeChanged();
    return missing;
}

void MidiInPort::ListDeviceTypes() {
    controls_.deviceTypeSelector.setItems(ListInputDeviceTypes({inputFolder_, shippedFolder_}));
}

void MidiInPort::DeviceTypeChanged() {
    if (controls_.deviceTypeSelector.index() != loadedTypeIndex_) LoadDefinition();
}

void MidiInPort::LoadDefinition() {
    loadedTypeIndex_ = controls_.deviceTypeSelector.index();
    const std::string type = controls_.deviceTypeSelector.text();
    definitionPath_ = InputDefinitionFile(inputFolder_, type);
    std::error_code ec;
    if (!shippedFolder_.empty() && !std::filesystem::exists(definitionPath_, ec)) {
        // Not among the user's own: the one shipped with the program, where there is one.
        const std::string shipped = InputDefinitionFile(shippedFolder_, type);
        if (std::filesystem::exists(shipped, ec)) definitionPath_ = shipped;
    }
    definitionName_ = FileNamePart(definitionPath_);
    IniFile file;
    std::string reason;
    // A missing or unreadable file reads as all defaults; only a missing one is no fault.
    const bool loaded = file.load(definitionPath_, &reason);
    std::vector<std::string> problems = ReadDefinition(file);
    if (!loaded) problems.insert(problems.begin(), "could not be read: " + reason);
    ReportDefinitionProblems(main_, controls_.deviceTypeSelector.text(), definitionPath_, problems,
                             reportedProblems_);
}

std::vector<std::string> MidiInPort::ReadDefinition(const IniFile& file) {
    auto map = std::make_unique<InputMap>();
    std::vector<std::string> problems;
    ::ReadDefinition(file, *map, &problems);
    swapIn(std::move(map));
    return problems;
}

void MidiInPort::WriteDefinition(IniFile& file) const {
    ::WriteDefinition(Map(), name_, file);
}

bool MidiInPort::SaveDefinition(const std::string& path, std::string* error) {
    definitionPath_ = path;
    definitionName_ = FileNamePart(path);
    IniFile file;
    // A file we cannot read is not replaced by only our part of it.
    if (!file.load(path, error)) return false;
    WriteDefinition(file);
    if (!file.save(path, error)) return false;
    ListDeviceTypes();
    ListModel& types = controls_.deviceTypeSelector;
    const std::string wanted = TrimmedText(StemOf(definitionName_));
    int found = -1;
    for (int i = 0; i < types.count(); ++i) {
        if (SameTextIgnoringCase(TrimmedText(types.item(i)), wanted)) {
            found = i;
            break;
        }
    }
    types.setIndex(found >= 0 ? found : types.count() - 1);
    // The list was read again, so the index of the type loaded before may now name another
    // one. The map in use is what this file holds: choosing its type again need not reload it,
    // choosing any other type must. A file outside the list (saved elsewhere) is no type.
    loadedTypeIndex_ = found;
    return true;
}

void MidiInPort::DescribeRanges(std::string& text) {
    for (const auto& line : DescribeRangesLines()) text += line + "\n";
}

InputMap MidiInPort::Map() const {
    // Only the UI thread swaps, and this runs there: the map cannot go away meanwhile.
    return *map_.load(std::memory_order_seq_cst);
}

void MidiInPort::SetMap(const InputMap& map) {
    swapIn(std::make_unique<InputMap>(map));
}

void MidiInPort::swapIn(std::unique_ptr<InputMap> map) {
    std::lock_guard lock(mapWriteMutex_);
    const InputMap* old = map_.exchange(map.release(), std::memory_order_seq_cst);
    // A reader that counted itself in before the exchange may still hold the old map; one
    // that counts in afterwards sees the new one. A dispatch takes microseconds.
    while (readers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    delete old;
}

// --- dispatch --------------------------------------------------------------------------------

bool MidiInPort::DispatchShort(uint8_t status, uint8_t data1, uint8_t data2, int32_t timeStamp) {
    if (!controls_.enableBox.checked()) return false;
    readers_.fetch_add(1, std::memory_order_seq_cst);
    const InputMap* map = map_.load(std::memory_order_seq_cst);
    bool matched = false;
    if (map) {
        if (map->ClockInLock)
            lockClock(status);
        else if (map->ClockInHandling)
            followClock(status, timeStamp);
        matched = matchEntries(*map, status, data1, data2);
    }
    // Inside the count: ClearLearnTarget waits for it, so the box is not read after its editor
    // has gone.
    const CheckModel* learn = learnTarget_.load(std::memory_order_seq_cst);
    if (learn && learn->checked() && status != kActiveSensing) {
        main_.SetLearnText(InputCodeText((status << 16) | (data1 << 8) | data2));
        main_.LearnChanges.fetch_add(1, std::memory_order_acq_rel);
    }
    readers_.fetch_sub(1, std::memory_order_seq_cst);
    return matched;
}

void MidiInPort::SetLearnTarget(const CheckModel* box) {
    learnTarget_.store(box, std::memory_order_seq_cst);
}

void MidiInPort::ClearLearnTarget() {
    learnTarget_.store(nullptr, std::memory_order_seq_cst);
    while (readers_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

bool MidiInPort::LockMode() const {
    // The UI thread reads the map it swaps in itself; no reader count is needed for that.
    const InputMap* map = map_.load(std::memory_order_acquire);
    return map && map->ClockInLock;
}

void MidiInPort::lockClock(uint8_t status) {
    int64_t timeNs = DeliveredInputTimeNs();
    if (timeNs == 0) timeNs = MonotonicNowNs();  // a backend without precise stamps
    switch (status) {
        case kTimingClock: {
            clockLock_.Clock(timeNs);
            const ClockLock::Estimate e = clockLock_.Current();
            if (!e.valid || e.fitTicks < 2) return;
            const bool step = e.steps != lockSteps_;
            if (!step && timeNs - lockFollowedNs_ < kLockFollowIntervalNs) return;
            const double bpm = e.Bpm();
            if (std::fabs(bpm - lockFollowedBpm_) < kLockFollowStepBpm) return;
            lockSteps_ = e.steps;
            lockFollowedNs_ = timeNs;
            lockFollowedBpm_ = bpm;
            actions_.FollowTempo(bpm);
            return;
        }
        case kStart:
            clockLock_.Start();
            actions_.PerformActionValue(1, kCodeStart);
            return;
        case kContinue:
            clockLock_.Continue();
            actions_.FollowContinue();
            return;
        case kStop:
            clockLock_.Stop();
            actions_.PerformActionValue(1, kCodeStop);
            return;
        default:
            return;
    }
}

void MidiInPort::followClock(uint8_t status, int32_t timeStamp) {
    if (status == kTimingClock) {
        // A measurement never spans a pause: the first clock after a Start, a Stop or a gap of
        // more than two beats (at the tempo last measured, or ours before the first) begins a
        // new one. Divided by a silence, a few clocks give 2 BPM where the master plays 120.
        const int64_t gap =
            int64_t{timeStamp} - previousClockStamp_.exchange(timeStamp, std::memory_order_relaxed);
        const double measured = main_.RawClockInBPM.load(std::memory_order_acquire);
        const double ours = main_.CurrentBPM.load(std::memory_order_acquire);
        const double bpm = measured > 0 ? measured : ours > 0 ? ours : kSlowestMasterBpm;
        const double twoBeatsMs = 2 * 60000.0 / bpm;
        if (measureFresh_.exchange(false, std::memory_order_relaxed) || gap < 0 ||
            gap > twoBeatsMs) {
            clockCount_.store(0, std::memory_order_relaxed);
            lastClockStamp_.store(timeStamp, std::memory_order_relaxed);
            return;
        }
        const int32_t count = clockCount_.fetch_add(1, std::memory_order_relaxed) + 1;
        if (!measure_->load(std::memory_order_acquire)) return;
        const int32_t elapsed = timeStamp - lastClockStamp_.load(std::memory_order_relaxed);
        // Too short to measure (the first clocks after a new start, or a second measurement in
        // the same millisecond): the count goes on and a later clock measures. The stamps have
        // whole milliseconds, so a few clocks would be off by several BPM.
        if (elapsed < kMinMeasureMs) return;
        const double raw = count * (1.0 / 24) * 60 * 1000 / elapsed;
        main_.RawClockInBPM.store(raw, std::memory_order_release);
        const double old = main_.FilteredClockInBPM.load(std::memory_order_acquire);
        const double filtered = clockFilter_.Push(raw);
        main_.FilteredClockInBPM.store(filtered, std::memory_order_release);
        if (filtered != old) actions_.PerformActionValue(1, filtered);
        clockCount_.store(0, std::memory_order_relaxed);
        measure_->store(false, std::memory_order_release);
        lastClockStamp_.store(timeStamp, std::memory_order_relaxed);
    } else if (status == kStart) {
        measureFresh_.store(true, std::memory_order_relaxed);
        actions_.PerformActionValue(1, kCodeStart);
    } else if (status == kStop) {
        measureFresh_.store(true, std::memory_order_relaxed);
        actions_.PerformActionValue(1, kCodeStop);
    } else if (status == kContinue) {
        // Not followed (the position it continues from is unknown here), but the clocks after
        // it are a new stretch all the same.
        measureFresh_.store(true, std::memory_order_relaxed);
    }
}

bool MidiInPort::matchEntries(const InputMap& map, uint8_t status, uint8_t data1, uint8_t data2) {
    bool matched = false;
    const int32_t message = (status << 16) | (data1 << 8) | data2;
    auto inRange = [&](int r, int32_t value) {
        const RangeTransform& range = map.RangeTransforms[static_cast<size_t>(r)];
        return range.minimum <= value && value <= range.maximum;
    };
    auto lookUp = [&](int r, int32_t value) {
        double result = value < 0x80
                            ? map.RangeTables[static_cast<size_t>(r)][static_cast<size_t>(value)]
                            : 0.001;
        return result > 0.001 ? result : 0.001;
    };
    for (int i = 0; i < kMapEntries; ++i) {
        const int32_t code = map.InputCodes[static_cast<size_t>(i)];
        if (code == 0) continue;  // an empty entry
        const double action = map.Actions[static_cast<size_t>(i)];
        const auto codeStatus = static_cast<uint8_t>(code >> 16);
        const auto codeByte1 = static_cast<uint8_t>(code >> 8);
        const auto codeByte2 = static_cast<uint8_t>(code);

        // Rule A: byte 1 through a range, byte 2 ignored.
        if (action == kByte1Map || action == kTapAnyByte1) {
            const int r = RangeReference(codeByte1);
            if (codeStatus == status && r >= 0 && inRange(r, data1)) {
                actions_.PerformActionValue(i, action == kTapAnyByte1 ? kTap : lookUp(r, data1));
                matched = true;
            }
        }

        // Rule B: byte 2 through a range, or all three bytes equal.
        const int r = RangeReference(codeByte2);
        const bool exact = code == message;
        if (!exact && !(codeStatus == status && codeByte1 == data1 && r >= 0)) continue;
        const bool rangeHit = r >= 0 && inRange(r, data2);
        if (rangeHit) {
            if (action == kControllerToTempo) {
                actions_.PerformActionValue(i, lookUp(r, data2));
            } else if (action == kBeatPeriod) {
                // Byte 2 is a beat period in hundredths of a second.
                const int32_t hundredths = data2 < 20 ? 20 : data2;
                double bpm = 100.0 / hundredths * 60;
                if (bpm <= 1) bpm = 1;
                actions_.PerformActionValue(i, bpm);
            }
        }
        if (exact || rangeHit) {
            actions_.PerformActionValue(i, action);
            matched = true;
        }
    }
    return matched;
}

int MidiInPort::TristateStep(int index, int32_t value) {
    if (index < 0 || index >= kMapEntries) return 0;
    const auto i = static_cast<size_t>(index);
    tristateValue_[i].store(value, std::memory_order_relaxed);
    int32_t state = tristateState_[i].load(std::memory_order_relaxed);
    if (state < 0) state = value;  // the first value only sets the state
    int result = 0;
    if (value >= 40 && value <= 80) {
        state = value;
    } else if (value < 40 && state >= 40) {
        state = value;
        result = -1;
    } else if (value > 80 && state <= 80) {
        state = value;
        result = 1;
    }
    tristateState_[i].store(state, std::memory_order_relaxed);
    return result;
}

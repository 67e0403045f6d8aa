#include "midiout/midi_out_port.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "platform/ini_file.h"
#include "platform/midi_bytes.h"
#include "platform/midi_system.h"
#include "platform/number_text.h"
#include "state/definition_files.h"
#include "state/hexroutines.h"
#include "state/list_model.h"
#include "state/main_state.h"
#include "tempo/bpm_timer.h"

namespace {
using midi::kContinue;
using midi::kStart;
using midi::kStop;
using midi::kTimingClock;
}  // namespace

MidiOutPort::MidiOutPort(std::string name, MainState& main, Controls controls, TBPMTimer& timer,
                         MidiSystem& system, std::string ownPortName, int gridRowOrigin,
                         int gridColumnOrigin)
    : name_(std::move(name)),
      main_(main),
      controls_(controls),
      timer_(timer),
      device_(system, std::move(ownPortName)),
      gridRowOrigin_(gridRowOrigin),
      gridColumnOrigin_(gridColumnOrigin),
      // The clock's tempo until the first SetBPM: a device told anything else before the
      // settings are read would hear a tempo the clock never runs at.
      tempo_(timer.Tempo() * 0.001),
      portTempo_(timer.Tempo() * 0.001),
      grid_(gridRowOrigin, gridColumnOrigin) {
    FillPortList();
}

// The device closes itself; no release string is sent, but no note is left sounding.
MidiOutPort::~MidiOutPort() {
    grid_.AllNotesOff(device_);
}

void MidiOutPort::FillPortList() {
    FillDeviceList(controls_.portSelector, device_);
}

void MidiOutPort::RefreshPortList() {
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

bool MidiOutPort::ShowsNone() const {
    return controls_.portSelector.index() == device_.NumDevs();
}

std::optional<MidiOutPort::SavedPort> MidiOutPort::MissingSavedPort() const {
    std::lock_guard lock(mutex_);
    return missingSavedPort_;
}

void MidiOutPort::ListDeviceTypes() {
    controls_.deviceTypeSelector.setItems(
        ListOutputDeviceTypes({definitionFolder_, shippedFolder_}));
}

void MidiOutPort::LoadDeviceDefinition() {
    std::lock_guard lock(mutex_);
    loadDeviceDefinitionLocked();
}

void MidiOutPort::loadDeviceDefinitionLocked() {
    deviceTypeIndex_ = controls_.deviceTypeSelector.index();
    definitionPath_ = DefinitionFilePath({definitionFolder_, shippedFolder_},
                                         controls_.deviceTypeSelector.text());
    const size_t slash = definitionPath_.find_last_of('/');
    definitionFileName_ =
        slash == std::string::npos ? definitionPath_ : definitionPath_.substr(slash + 1);
    // Resolved now, against the directory the file is read from.
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(definitionPath_, ec);
    definitionFile_ = ec ? definitionPath_ : absolute.lexically_normal().string();

    definition_ = ReadOutputDeviceDefinition(definitionPath_);
    clockOutputEnable_ = definition_.clockOutputEnable;
    startBeforeEvery1_ = definition_.startBeforeEvery1;
    startAfterEvery1_ = definition_.startAfterEvery1;
    noStartAtStart_ = definition_.noStartAtStart;
    noStopAtEnd_ = definition_.noStopAtEnd;
    tracksEnable_ = definition_.tracksEnable;
    trackLines_ = definition_.trackLines;
    grid_.LoadTracks(trackLines_, device_);
    // Before anything of this definition goes out, so that its init is moved as well.
    const bool delayed = device_.SetDelayNs(std::llround(definition_.outputDelayMs * 1e6));

    // Told once, as the definition loads: what is wrong with the file and what it asks for
    // that would be malformed MIDI, which is therefore not sent. Loading the same file with the
    // same faults again (start-up reads it for the type and again as the port opens) says
    // nothing new.
    ReportDefinitionProblems(main_, controls_.deviceTypeSelector.text(), definitionFile_,
                             definition_.problems, reportedProblems_);
    if (definition_.problems.empty() && !delayed && definition_.outputDelayMs != 0 &&
        device_.Using())
        main_.PostStatus(controls_.deviceTypeSelector.text() +
                             ": device_output_delay_ms works through JACK only",
                         StatusColors::red);
    if (definition_.sysexEnable) sendHexStringLocked(definition_.initString);
    if (definition_.tracksEnable)
        device_.SendShort(static_cast<uint8_t>(midi::kProgramChange + definition_.tracksChannel),
                          definition_.tracksProgram, 0);
    tempoChangedLocked(Tempo());
}

std::string MidiOutPort::SavedPortKey(const IniFile& file) const {
    const int32_t index = file.readInt(name_, "MIDIPORTINDEX", -1);
    const std::string portName = file.readString(name_, "MIDIPORTNAME", "");
    const std::string key = portName + "**" + std::to_string(index);
    return key == "**-1" ? std::string() : key;
}

std::string MidiOutPort::LoadPortSettings(const IniFile& file, bool reselect) {
    std::string result;
    const std::string key = SavedPortKey(file);
    {
        std::lock_guard lock(mutex_);
        if (!key.empty() && key != savedPortKey_) savedPortKey_ = key;
    }
    ListModel& ports = controls_.portSelector;
    if (reselect) {
        const int32_t savedIndex = file.readInt(name_, "MIDIPORTINDEX", ports.index());
        ports.setIndex(savedIndex);
        const std::string portName = file.readString(name_, "MIDIPORTNAME", ports.text());
        // A name saved with ALSA's client:port numbers still finds its device without them.
        const bool found = SelectByName(ports, portName) ||
                           SelectByName(ports, MidiSystem::StableDeviceName(TrimmedText(portName)));
        if (!found) result = portName;
        std::lock_guard lock(mutex_);
        if (found)
            missingSavedPort_.reset();
        else
            missingSavedPort_ = SavedPort{portName, savedIndex};
    }
    // The divider box can only show its own items, so a saved divider it does not list runs as
    // the nearest one it does: what the box shows is what the port divides by. It is in place
    // before the definition loads, so a device hears its tempo once, already divided.
    const int32_t divider =
        NearestListedDivider(controls_.dividerSelector, file.readInt(name_, "CLOCKDIVIDER", 1));
    SelectByName(controls_.dividerSelector, std::to_string(divider));
    const bool dividerChanged = divider != divider_.exchange(divider);

    ListModel& types = controls_.deviceTypeSelector;
    if (types.text().empty()) types.setIndex(types.count() - 1);
    SelectByName(types, file.readString(name_, "DEVICETYPE", types.text()));
    const int typeBefore = DeviceTypeIndex();
    DeviceTypeChanged();
    if (dividerChanged && DeviceTypeIndex() == typeBefore) TempoChanged(Tempo());
    return result;
}

int32_t MidiOutPort::NearestListedDivider(const ListModel& dividers, int32_t divider) {
    divider = std::clamp<int32_t>(divider, 1, kMaxDivider);
    int32_t best = 0;
    double bestDistance = 0;
    for (const std::string& item : dividers.items()) {
        const std::optional<int32_t> listed = ParseInt(item);
        if (!listed || *listed < 1) continue;
        // By ratio: dividers halve and double, so 3 lies nearer 4 than 2.
        const double distance = std::fabs(std::log2(static_cast<double>(*listed) / divider));
        if (best == 0 || distance < bestDistance) {
            best = *listed;
            bestDistance = distance;
        }
    }
    return best == 0 ? divider : best;
}

void MidiOutPort::OpenSelectedPort() {
    openSelectedPort(true);
}

bool MidiOutPort::OpenMissingSavedPort() {
    const std::optional<SavedPort> missing = MissingSavedPort();
    if (!missing || !ShowsNone()) return false;
    RefreshPortList();
    ListModel& ports = controls_.portSelector;
    const bool found =
        SelectByName(ports, missing->name) ||
        SelectByName(ports, MidiSystem::StableDeviceName(TrimmedText(missing->name)));
    if (!found) return false;
    openSelectedPort(false);
    if (device_.Using() && device_.LastOpenResult() == TMidiOutput::kOpenOk) return true;
    // Listed but not ready yet (its program still starting): it stays the saved one, and the
    // port stays at "None" until a later try.
    device_.SetUsing(false);
    ports.setIndex(device_.NumDevs());
    std::lock_guard lock(mutex_);
    missingSavedPort_ = missing;
    return false;
}

void MidiOutPort::openSelectedPort(bool stopClock) {
    // stopClock false: opened by itself (a device that came): a failure there is no news.
    const bool quiet = !stopClock;
    const int index = controls_.portSelector.index();
    if (index == device_.NumDevs()) {
        device_.SetUsing(false);  // "None": the definition stays loaded
        return;
    }
    if (stopClock) timer_.SetEnabled(false);
    std::lock_guard lock(mutex_);
    missingSavedPort_.reset();  // another device is chosen: the missing one is let go
    sendReleaseLocked();
    device_.SetUsing(false);
    device_.ClearResults();
    device_.SetPort(index);
    device_.SetUsing(true);
    if (device_.LastOpenResult() != TMidiOutput::kOpenOk) {
        if (quiet) return;
        // Which of the two ports, and which device: with both in use the words alone leave
        // the user to guess.
        main_.PostStatus("MIDI Port not ready!", StatusColors::red,
                         NotReadyDetail("MIDI Port " + std::string(1, name_.back()),
                                        controls_.portSelector.text(), index));
        main_.PortReady = false;
        main_.RunStateChanges.fetch_add(1);
        return;
    }
    main_.PostStatus("MIDI Port Selected ...", StatusColors::teal);
    main_.PortReady = true;
    main_.RunStateChanges.fetch_add(1);
    loadDeviceDefinitionLocked();
}

void MidiOutPort::DeviceTypeChanged() {
    std::lock_guard lock(mutex_);
    if (controls_.deviceTypeSelector.index() == deviceTypeIndex_) return;
    if (deviceTypeIndex_ >= 0) sendReleaseLocked();
    loadDeviceDefinitionLocked();
}

void MidiOutPort::DividerChanged() {
    const std::optional<int32_t> divider = ParseInt(controls_.dividerSelector.text());
    if (!divider) return;
    std::lock_guard lock(mutex_);
    divider_ = std::clamp<int32_t>(*divider, 1, kMaxDivider);
    tempoChangedLocked(Tempo());
}

void MidiOutPort::DoubleDivider() {
    selectDivider(std::clamp(Divider() * 2, 1, 64));
}

void MidiOutPort::HalveDivider() {
    selectDivider(std::max(Divider() / 2, 1));
}

void MidiOutPort::selectDivider(int32_t divider) {
    divider_ = divider;
    SelectByName(controls_.dividerSelector, std::to_string(divider));
}

void MidiOutPort::SetOutputEnabled(bool enabled) {
    enabled_ = enabled;
}

void MidiOutPort::SendGated(uint8_t status, uint8_t data1, uint8_t data2, int64_t timeNs) {
    if (device_.Using() && enabled_.load(std::memory_order_acquire))
        device_.SendShort(status, data1, data2, timeNs);
}

void MidiOutPort::ClockTick(int32_t n, int64_t timeNs) {
    if (!clockOutputEnable_.load(std::memory_order_acquire)) return;
    const int32_t bar = ticksPerPortBeat_.load(std::memory_order_acquire) * 4;
    const int32_t divider = divider_.load(std::memory_order_acquire);
    const bool barLine = n % bar == 0;
    if (barLine && startBeforeEvery1_.load(std::memory_order_acquire))
        SendGated(kStart, 0, 0, timeNs);
    if (n % divider == 0) SendGated(kTimingClock, 0, 0, timeNs);
    if (barLine && startAfterEvery1_.load(std::memory_order_acquire))
        SendGated(kStart, 0, 0, timeNs);
}

void MidiOutPort::AfterTick(int32_t n, int64_t timeNs) {
    if (n % ticksPerPortBeat_.load(std::memory_order_acquire) == 0 &&
        startPending_.exchange(false, std::memory_order_acq_rel)) {
        if (!noStartAtStart_.load(std::memory_order_acquire)) SendGated(kStart, 0, 0, timeNs);
        main_.PostStatusCode(MainState::StatusCode::Running);
    }
    // A step every sixteenth of the port's bar; the first tick after a start plays step 0.
    if (tracksEnable_.load(std::memory_order_acquire) && enabled_.load(std::memory_order_acquire)) {
        const int32_t sixteenth = divider_.load(std::memory_order_acquire) * 6;
        const int32_t position = (n - 1) % (sixteenth * 16);
        if (position >= 0 && position % sixteenth == 0)
            grid_.PlayStep(position / sixteenth, device_, timeNs);
    }
}

void MidiOutPort::TransportStart(bool sendNow, bool onNextBeat) {
    startPending_ = onNextBeat;
    if (sendNow && !onNextBeat) {
        if (!noStartAtStart_) SendGated(kStart, 0, 0);
        main_.PostStatusCode(MainState::StatusCode::Running);
    }
}

void MidiOutPort::TransportStop(bool sendStop) {
    timer_.SetEnabled(false);
    if (sendStop && !noStopAtEnd_) SendGated(kStop, 0, 0);
    grid_.AllNotesOff(device_);
    main_.PostStatus("Stopped ...", StatusColors::purple);
    // The port selector is enabled again by the pump when it shows the stopped state: this may
    // run on the MIDI input thread, which must not touch the window.
}

void MidiOutPort::TransportPause() {
    SendGated(kStop, 0, 0);
    main_.PostStatus("Pause Sent ...", StatusColors::yellow);
}

void MidiOutPort::TransportContinue() {
    SendGated(kContinue, 0, 0);
    main_.PostStatus("Continue Sent ...", StatusColors::yellow);
}

void MidiOutPort::TempoChanged(double tempo) {
    std::lock_guard lock(mutex_);
    tempoChangedLocked(tempo);
}

void MidiOutPort::tempoChangedLocked(double tempo) {
    const int32_t divider = Divider();
    tempo_ = tempo;
    portTempo_ = tempo / divider;
    ticksPerPortBeat_ = divider * 24;
    const double portTempo = PortTempo();
    if (definition_.sysexEnable && definition_.tempoSysExValid)
        sendHexStringLocked(TempoHexText(definition_, portTempo));
    if (definition_.ctrlOutEnable) {
        SendGated(static_cast<uint8_t>(midi::kControlChange + definition_.ctrlChannel),
                  definition_.ctrlNumber, ControllerValue(definition_, portTempo));
    }
}

std::string MidiOutPort::TempoHexText(const OutputDeviceDefinition& definition, double portTempo) {
    return TempoSysExText(definition, portTempo);
}

uint8_t MidiOutPort::ControllerValue(const OutputDeviceDefinition& definition, double portTempo) {
    double x = portTempo * definition.bpmMultiplier + definition.bpmOffset;
    if (definition.convertBpmToMs) {
        if (x < 0.0001) x = 0.0001;
        x = 60000.0 / x * definition.msMultiplier;
    }
    if (x >= 127) return 127;
    // Below 0 there is no sensible value, and the low byte of a negative number would be a
    // status byte in a data byte's place.
    if (!(x > 0)) return 0;
    const int32_t value =
        definition.floorOutputByte ? static_cast<int32_t>(std::trunc(x)) : RoundToInt(x);
    return static_cast<uint8_t>(std::clamp(value, 0, 127));
}

void MidiOutPort::SendHexString(const std::string& text) {
    std::lock_guard lock(mutex_);
    sendHexStringLocked(text);
}

void MidiOutPort::sendHexStringLocked(const std::string& text) {
    // Only one whole, well-formed message goes out: a tempo whose value does not fit two data
    // bytes, or text a definition check let through, is dropped rather than cut or mangled.
    uint8_t bytes[kMaxSysExBytes];
    const int32_t count = SysExFromHexText(text, bytes);
    if (device_.Using() && count > 0) device_.SendLong(bytes, count);
}

void MidiOutPort::SendRelease() {
    std::lock_guard lock(mutex_);
    sendReleaseLocked();
}

void MidiOutPort::sendReleaseLocked() {
    if (definition_.sysexEnable) sendHexStringLocked(definition_.releaseString);
}

int MidiOutPort::DeviceTypeIndex() const {
    std::lock_guard lock(mutex_);
    return deviceTypeIndex_;
}

std::string MidiOutPort::StoredSavedPortKey() const {
    std::lock_guard lock(mutex_);
    return savedPortKey_;
}

std::string MidiOutPort::DefinitionPath() const {
    std::lock_guard lock(mutex_);
    return definitionPath_;
}

std::string MidiOutPort::DefinitionFile() const {
    std::lock_guard lock(mutex_);
    return definitionFile_;
}

std::string MidiOutPort::EditableDefinitionFile(std::string* error) {
    std::lock_guard lock(mutex_);
    if (shippedFolder_.empty() || definitionPath_.rfind(shippedFolder_, 0) != 0)
        return definitionFile_;
    const std::string copy = definitionFolder_ + definitionFileName_;
    std::error_code ec;
    if (!std::filesystem::exists(copy, ec) &&
        !CopyOutputDeviceDefinitionFile(definitionPath_, copy, error))
        return {};
    // The copy holds what was read, so the definition in use stays as it is; only where it
    // lives changes, as it would have at the next read.
    definitionPath_ = copy;
    const std::filesystem::path absolute = std::filesystem::absolute(copy, ec);
    definitionFile_ = ec ? copy : absolute.lexically_normal().string();
    return definitionFile_;
}

OutputDeviceDefinition MidiOutPort::Definition() const {
    std::lock_guard lock(mutex_);
    return definition_;
}

std::vector<std::string> MidiOutPort::TrackLines() const {
    std::lock_guard lock(mutex_);
    return trackLines_;
}

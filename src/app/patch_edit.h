#pragma once

#include <array>
#include <string>

class MidiInPort;
class PresetEditModel;
struct AppSettings;

// The patch editor without widgets: the input map of the current input definition as a table
// of 32 rows (input code, action, comment), the four function-key presets F5..F8 as a second
// table, and the clock-input switches. Rows are edited one at a time in a preset editor; Store and
// Save as put the tables into the input port (which then dispatches with them at once) and into
// a definition file.
class PatchEditModel {
  public:
    static constexpr int kAdvRows = 33;  // a header row and 32 entries
    static constexpr int kAdvColumns = 4;
    static constexpr int kKeyRows = 17;  // a header row, F5..F8 and twelve empty rows
    static constexpr int kKeyColumns = 3;
    using AdvGrid = std::array<std::array<std::string, kAdvColumns>, kAdvRows>;
    using KeyGrid = std::array<std::array<std::string, kKeyColumns>, kKeyRows>;

    // Fills both tables and the switch from the port's map and the presets. The target path,
    // which Store writes, is the definition file of that type in the port's folder: the file
    // the port reads when it is there (whatever the letter case of its extension), else
    // <type>.ini.
    void EditInputMap(AppSettings& settings, const std::string& deviceTypeName, MidiInPort& port);

    std::string Caption;
    std::string TargetPath;
    bool MCLOCKINProcess = false;
    // Lock onto the incoming clock's tempo and phase (TEMPOVANE_IN_LOCK).
    bool MCLOCKINLock = false;
    AdvGrid AdvActionsStringGrid;
    KeyGrid KeyActionsStringGrid;

    // Row editing: Begin fills a fresh preset editor from a row and says whether there is
    // anything to edit; End takes the editor's values back into the row.
    bool BeginAdvRowEdit(int row, PresetEditModel& preset) const;
    void EndAdvRowEdit(int row, const PresetEditModel& preset);
    bool BeginKeyRowEdit(int row, PresetEditModel& preset) const;
    void EndKeyRowEdit(int row, const PresetEditModel& preset);

    // Copies the tables into the presets and the port's map. An ACTION cell that is no decimal
    // number stops there: what came before it is applied, the rest is not, and the result says
    // which cell and why.
    struct StoreResult {
        bool ok = true;
        std::string message;  // why it stopped, for a message box
    };
    StoreResult StoreFormValues();

    // Store: StoreFormValues, then the map written to the target path. Save as: the same into
    // path, which becomes the target path for a later Store. Nothing is written when the
    // tables do not store; a write error is returned as a message.
    StoreResult Store();
    StoreResult SaveAs(const std::string& path);

    MidiInPort* Port() const { return port_; }

  private:
    StoreResult saveTo(const std::string& path);

    AppSettings* settings_ = nullptr;
    MidiInPort* port_ = nullptr;
};

#pragma once

#include <functional>
#include <string>
#include <vector>

class ListModel;

// What the patch selection needs of a file watcher: one file to watch, start, stop, and a
// change call on the UI thread after the file was written. The window gives it a Qt adapter;
// tests a hand-driven one.
class FileWatch {
  public:
    virtual ~FileWatch() = default;
    virtual void SetFileName(const std::string& path) = 0;
    virtual std::string FileName() const = 0;
    // Starting takes the file as it is now as the known state: only a later write counts.
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual bool Active() const = 0;

    std::function<void()> OnChanged;
};

// The "General Settings" box: the patch selector (the settings file, then the settings
// patches *.tvp of the program folder), applying a chosen patch, and watching the chosen file
// once the user has opened it in an editor, so that every save there is imported again.
class PatchSelection {
  public:
    static constexpr const char* kSettingsItem = "clockpresets.ini";

    struct Callbacks {
        // Reads the option keys and presets of the file at path into the settings and applies
        // what the window shows of them.
        std::function<void(const std::string& path)> getPatchINI;
        std::function<void(const std::string& text)> postImport;  // a green status
    };

    // settingsPath: the settings file in use, which the item "clockpresets.ini" stands for.
    PatchSelection(ListModel& selector, FileWatch& watch, std::string programFolder,
                   std::string settingsPath, Callbacks callbacks);
    ~PatchSelection();
    PatchSelection(const PatchSelection&) = delete;
    PatchSelection& operator=(const PatchSelection&) = delete;

    // The file an item names: the settings file for "clockpresets.ini" or no text, else that
    // file in the program folder.
    std::string PathOf(const std::string& item) const;

    // On drop-down: the list read again, the shown item kept if it is still there.
    void RefreshPatchList();
    // The user chose an item: the watch moves to its file, and its keys are applied.
    void PatchComboBoxChange();
    // The watched file was written.
    void ATFileNotification1Changed();
    // After the "Edit" button opened the patch in an editor: watch it from now on.
    void StartWatching();

    // Holds the watch still while the program writes the settings file itself, so that its own
    // save is not imported as an outside edit.
    class Pause {
      public:
        explicit Pause(PatchSelection& selection);
        ~Pause();
        Pause(const Pause&) = delete;
        Pause& operator=(const Pause&) = delete;

      private:
        FileWatch& watch_;
        bool wasActive_;
    };

  private:
    ListModel& selector_;
    FileWatch& watch_;
    std::string programFolder_;
    std::string settingsPath_;
    Callbacks callbacks_;
};

// The settings patches of folder: regular *.tvp files (any letter case of the extension), not
// hidden, sorted by name with letter case ignored.
std::vector<std::string> ListSettingsPatches(const std::string& folder);

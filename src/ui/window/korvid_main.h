#pragma once

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <tuple>

#include "app/command_line.h"
#include "app/main_model.h"
#include "ui/display/button_images.h"
#include "ui/window/window_controls.h"

class FileWatchQt;
class IniFile;
class PatchSelection;
class THelpForm;
class TStatisticsForm;
class ClickableLabel;

// The main window: the tempo display and controls, the two output port boxes, the input and
// general boxes, the lamp, the tray icon and the 50 ms pump that shows what other threads
// changed. Everything that is not a widget lives in KorvidMainModel.
class TKorvidMain : public QWidget {
    Q_OBJECT

  public:
    static constexpr const char* kVersion = kProgramVersion;
    // The user guide ships with the program: beside it (the build folder), or with the
    // installed documentation.
    static constexpr const char* kUserGuide = "README.md";
    static constexpr const char* kInstalledUserGuide = "/usr/share/doc/tempovane/README.md";
    QString UserGuidePath() const;

    struct Options {
        QString programFolder;                 // where the settings, skins and patches live
        QString definitionFolder = "outdrv/";  // output definitions, relative to the current dir
        // Shipped definitions searched after the user's own (an installed program); "" for none.
        QString shippedOutputFolder;
        QString shippedInputFolder;
        QString installedGuide;  // the README installed with the program, "" for none
        TBPMTimer::Drive timerDrive = TBPMTimer::Drive::Thread;
        const MonotonicClock* clock = nullptr;  // null: the system clock
        QString settingsArgument;               // the first command-line argument, if any
        // The close question and the message boxes; tests answer them without a dialog.
        std::function<bool()> askSaveSettings;
        std::function<void(const QString& caption, const QString& text)> showMessage;
        // Other yes/no questions (close without saving, create a definition file).
        std::function<bool(const QString& caption, const QString& text)> askQuestion;
        // The patch editor's save dialog: the chosen path, or "" for cancel.
        std::function<QString(const QString& folder, const QString& fileName)> askSavePath;
        // How long the watched settings patch must be quiet before it is imported again.
        int patchSettleMs = 150;
        // Told once the close is decided, before the ports close (the program arms its exit
        // deadline here).
        std::function<void()> closing;
    };

    TKorvidMain(std::unique_ptr<MidiSystem> midi, Options options, QWidget* parent = nullptr);
    ~TKorvidMain() override;

    // The help and statistics windows are made after this one, as at start-up.
    void SetSecondaryWindows(THelpForm* help, TStatisticsForm* stats);

    KorvidMainModel& Model() { return *model_; }

    // The 50 ms pump; public so tests can run a pass without waiting.
    void VCLEventsTimerTimer();
    void UpdateButtonImage();

    // Commands of the command list.
    void RunCommand(const QString& name);
    QAction* Command(const QString& name) const;

    // Gestures and handlers.
    void TapButtonClick();
    void TempoTrackBarChange();
    void TempoFractionalEditChange();
    void MainButtonImageMouseDown();
    void ToggleWindowHeight();
    void EditButtonClick(int tag);
    void EditPatch(const QString& name, bool rearm, bool inDefinitionFolder);
    // Opens the definition file the port read, offering to make it from the built-in settings
    // when there is none; a shipped definition is copied into the user's definition folder
    // first, and the copy opened.
    void EditDefinition(MidiOutPort& port);

    // The settings file: read at start-up, written by the save commands.
    QString SettingsPath() const;
    void GetPresetsINI();
    // Writes the whole settings file; false when it could not be written, with a short reason
    // for the status line in *error and the whole story (path, system's words) in *detail.
    bool SetPresetsINI(QString* error = nullptr, QString* detail = nullptr);
    // Saves and says so in the status line; false when the save failed, with the reasons as
    // SetPresetsINI gives them. The watch on a settings patch holds still meanwhile, so our own
    // save is not imported as an outside edit.
    bool SaveSettings(QString* error = nullptr, QString* detail = nullptr);

    // Settings patches ("General Settings"): the option keys and presets of a file, applied.
    void GetPatchINI(const QString& path);
    void RefreshPatchList();
    void PatchComboBoxChange();
    // The watched patch was written outside (the watcher's change event).
    void ATFileNotification1Changed();
    PatchSelection& Patches() { return *patches_; }
    FileWatchQt& PatchWatch() { return *patchWatch_; }

    // Opens a fresh patch editor on the current input definition and waits until it closes.
    void InputEditButtonClick();

    // SIGINT/SIGTERM: close at once, without the minimise rule or the save question.
    void CloseWithoutQuestions();

    // Window size as the settings and the height toggle count it: the client area plus a
    // nominal caption and border (design: 262 x 528 around a 254 x 483 client area).
    int WindowHeight() const;
    void SetWindowHeight(int height);
    int WindowWidth() const;
    void SetWindowWidth(int width);

    // The height that shows the whole tempo part and nothing below it: the compact view, and
    // the smallest height the window takes.
    int CompactWindowHeight() const;

    QString ApplicationTitle() const { return applicationTitle_; }
    int ShownPictureIndex() const { return shownPictureIndex_; }

    // Controls, named as the settings, help and tests know them.
    QLabel* Label1;
    QLabel* BPMLabel;
    QLabel* CentsLabel;
    ThousandthsEdit* TempoFractionalEdit;
    QLabel* StatusLabel;
    ClickableLabel* URLLabel;
    QLabel* VersionLabel;
    ClickableLabel* MainButtonImage;
    ClickableLabel* StatsImage;
    QSlider* TempoTrackBar = nullptr;
    QPushButton* HelpButton;
    QPushButton* TapButton;
    QPushButton* ShowMoreButton;
    QGroupBox* GroupBox1;
    QComboBox* MIDIOutComboBox1;
    QCheckBox* MIDIOutEnable1;
    QComboBox* MIDIOutDevTypeComboBox1;
    QComboBox* MIDIOutDividerComboBox1;
    QPushButton* MIDIOut1Advanced;
    QGroupBox* GroupBox2;
    QComboBox* MIDIOutComboBox2;
    QCheckBox* MIDIOutEnable2;
    QComboBox* MIDIOutDevTypeComboBox2;
    QComboBox* MIDIOutDividerComboBox2;
    QPushButton* MIDIOut2Advanced;
    QGroupBox* InputOptionBox;
    QComboBox* MIDIInComboBox1;
    QComboBox* MIDIInDevTypeComboBox1;
    QCheckBox* MIDIInEnable1;
    QPushButton* InputEditButton;
    QGroupBox* GeneralOptionBox;
    QComboBox* PatchComboBox;
    QPushButton* EditPatchButton;
    // In the General Settings box's title row: the network tempo session and its peers.
    QCheckBox* LinkCheckBox = nullptr;
    QLabel* LinkPeersLabel = nullptr;
    // The "Pulse Output" box (korvid_main_pulse.cpp): one set of controls for the output chosen
    // in its first list.
    QGroupBox* PulseOutputBox = nullptr;
    QComboBox* PulseOutputSelector = nullptr;
    QCheckBox* PulseEnable = nullptr;
    QCheckBox* PulseRun = nullptr;
    QCheckBox* PulseInvert = nullptr;
    QComboBox* PulsePpq = nullptr;
    QDoubleSpinBox* PulseWidth = nullptr;
    QDoubleSpinBox* PulseShift = nullptr;
    QDoubleSpinBox* PulseLevel = nullptr;
    // The JACK transport choice (off, follow, lead), beside the patch list.
    QComboBox* JackTransportBox = nullptr;
    QGroupBox* TapTempoDuration;
    QList<QRadioButton*> TapTempoDurationItems;
    QTimer* VCLEventsTimer;
    QSystemTrayIcon* TrayIcon1 = nullptr;  // only where the desktop has a tray

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    struct PortWidgets {
        QComboBox* port;
        QComboBox* deviceType;
        QComboBox* divider;
        QCheckBox* enable;
        QPushButton* edit;
        KorvidMainModel::OutPortControls* controls;
        MidiOutPort* (KorvidMainModel::*portOf)();
        uint64_t shownPort = 0, shownType = 0, shownDivider = 0, shownEnable = 0;
        auto widgets() const { return std::tuple(port, enable, deviceType, divider, edit); }
    };

    void BuildControls();
    QGroupBox* BuildPortBox(const QRect& geometry, PortWidgets& w, int tag, bool hinted);
    void BuildCommandList();
    void FormCreate();
    // Puts the settings into the window: geometry, rounding step and thousandths field, track
    // bar range, stay-on-top.
    void ApplySettingsToWindow();
    // Size and place the window from the stored frame, on the screens there are now.
    void PlaceWindowFromSettings();
    bool CloseQuery();
    void FormClose();
    void MirrorModels();
    static void MirrorList(QComboBox* box, const ListModel& model, uint64_t& shown);
    void PortSelectorChanged(PortWidgets& w, int index);
    void ShowStatus(const QString& text, const QColor& color, const QString& detail = {});
    void PumpGrids();
    void PumpTempo();
    void FitTempoLabelFont();
    void PumpTapDisplay();
    void PumpFlash();
    void PumpRunState();
    void BuildLinkControls();
    void PumpLink();
    void BuildPulseBox();
    // Shows the chosen pulse output's settings; applies what the controls show to it.
    void ShowPulseOutput();
    void ApplyPulseControls();
    size_t shownPeers_ = static_cast<size_t>(-1);
    void PumpStatistics();
    // The "Midi Input Port + Key Setup" box (korvid_main_input.cpp).
    void ConnectInputBox();
    void CreateInputPort();
    std::string LoadInputPortSettings(const IniFile& file);
    void SaveInputPortSettings(IniFile& file);
    void MirrorInputBox();
    void PumpInput();
    // The "General Settings" box (korvid_main_patches.cpp).
    void ConnectPatchBox();
    void MirrorPatchBox();
    void ApplyAlwaysOnTop();
    void SetBackground(const QColor& color);
    bool KeyPreview(QKeyEvent* event, QObject* watched);
    bool WheelOverWindow(QWheelEvent* event, QObject* watched);
    void ShowHelp();
    void ShowStats();
    void OpenWebSite();
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);
    QString ProgramFolder() const { return options_.programFolder; }
    bool OwnsWidget(QObject* object) const;
    bool AskSaveSettings();
    bool AskQuestion(const QString& caption, const QString& text);
    // Starts an editor on the file, and says so when none could be started.
    void OpenInEditor(const QString& path);
    // The save question at close; false when a failed save made the user keep the window.
    bool SaveBeforeClose();
    void ShowMessage(const QString& caption, const QString& text);

    Options options_;
    std::unique_ptr<KorvidMainModel> model_;
    ButtonImageLists images_;
    THelpForm* helpForm_ = nullptr;
    TStatisticsForm* statsForm_ = nullptr;
    int32_t statsPasses_ = 0;  // pump passes since the last statistics sample
    PortWidgets out1_{}, out2_{};
    QList<QAction*> ActionList1;

    int trackBarMark_ = 0;  // the track bar's Tag: the position the pump set last
    int fractionMark_ = 0;  // the fraction field's Tag
    int helpButtonTag_ = 0;
    int shownPictureIndex_ = -100;  // no valid index, so the first update assigns a picture
    int wheelRemainder_ = 0;
    QString applicationTitle_;
    bool closing_ = false;
    bool quietClose_ = false;
    uint64_t shownInPort_ = 0, shownInType_ = 0, shownInEnable_ = 0;
    ListModel patchList_;
    uint64_t shownPatches_ = 0;
    std::unique_ptr<FileWatchQt> patchWatch_;
    std::unique_ptr<PatchSelection> patches_;
};

// A label that reports mouse presses and clicks (the lamp, the chart icon, the web address).
class ClickableLabel : public QLabel {
    Q_OBJECT

  public:
    using QLabel::QLabel;

  signals:
    void pressed();
    void clicked();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

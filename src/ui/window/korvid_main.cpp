#include "ui/window/korvid_main.h"

#include "midiin/input_definition.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <tuple>

#include "app/patch_selection.h"
#include "app/window_placement.h"
#include "midiout/device_definition.h"
#include "midiout/midi_out_port.h"
#include "platform/midi_system.h"
#include "ui/adapters/editor_launcher_qt.h"
#include "ui/adapters/file_watch_qt.h"
#include "ui/adapters/message_box_qt.h"
#include "ui/display/help_form.h"
#include "ui/display/lamp_pictures.h"
#include "ui/stats/statistics_form.h"

namespace {
// The window's client area at its design size.
constexpr int kClientWidth = 254;
constexpr int kClientHeight = 483;
// Stored window sizes count a caption and border of this size around the client area, whatever
// the window manager really draws, so a settings file means the same window everywhere.
constexpr int kFrameWidth = 8;
constexpr int kFrameHeight = 45;
// The caption: the frame above the client area less its lower border.
constexpr int kCaptionHeight = kFrameHeight - kFrameWidth / 2;

QFont ArialPixels(int pixels, bool bold = false) {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void SetTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

QPixmap DrawChartIcon() {
    QPixmap pixmap(25, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(Qt::white);
    p.drawRect(1, 4, 22, 24);
    p.setPen(QPen(QColor(0, 0, 255), 2));
    p.drawPolyline(QPolygon({QPoint(4, 22), QPoint(9, 14), QPoint(14, 18), QPoint(20, 8)}));
    p.setPen(QPen(QColor(0, 160, 0), 1.5));
    p.drawPolyline(QPolygon({QPoint(4, 25), QPoint(9, 20), QPoint(14, 22), QPoint(20, 16)}));
    return pixmap;
}
}  // namespace

void ClickableLabel::mousePressEvent(QMouseEvent* event) {
    emit pressed();
    QLabel::mousePressEvent(event);
}

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (rect().contains(event->position().toPoint())) emit clicked();
    QLabel::mouseReleaseEvent(event);
}

TKorvidMain::TKorvidMain(std::unique_ptr<MidiSystem> midi, Options options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
    model_ = std::make_unique<KorvidMainModel>(
        std::move(midi), options_.clock ? *options_.clock : SystemClock(), options_.timerDrive);

    BuildControls();
    BuildCommandList();
    FormCreate();
    qApp->installEventFilter(this);
}

TKorvidMain::~TKorvidMain() {
    qApp->removeEventFilter(this);
    patches_.reset();  // before the watch it uses
    model_->Timer().SetEnabled(false);
    model_->DestroyPorts();
}

void TKorvidMain::SetSecondaryWindows(THelpForm* help, TStatisticsForm* stats) {
    helpForm_ = help;
    statsForm_ = stats;
}

void TKorvidMain::BuildControls() {
    setObjectName(QStringLiteral("KorvidMain"));
    // A small sans serif with Arial's metrics keeps every caption inside its design box.
    QFont base(QStringLiteral("Liberation Sans"));
    base.setStyleHint(QFont::SansSerif);
    base.setPointSize(8);
    setFont(base);
    resize(kClientWidth, kClientHeight);
    setWindowIcon(images_.applicationIcon(kLampNoPort));

    Label1 = new QLabel(QStringLiteral("BPM :"), this);
    Label1->setGeometry(105, 16, 37, 16);
    Label1->setFont(ArialPixels(13, true));
    SetTextColor(Label1, Qt::blue);

    BPMLabel = new QLabel(QStringLiteral("120"), this);
    BPMLabel->setGeometry(105, 32, 66, 45);
    BPMLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    BPMLabel->setFont(ArialPixels(40));
    SetTextColor(BPMLabel, Qt::blue);
    // Its own button-face background: it stays grey while the window flashes green.
    BPMLabel->setAutoFillBackground(true);

    CentsLabel = new QLabel(QStringLiteral("1/1000ths :"), this);
    CentsLabel->setGeometry(106, 80, 55, 13);
    CentsLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    TempoFractionalEdit = new ThousandthsEdit(this);
    TempoFractionalEdit->setGeometry(168, 75, 41, 22);
    TempoFractionalEdit->setRange(-10000, 10000);
    TempoFractionalEdit->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    TempoFractionalEdit->setToolTip(QStringLiteral("Thousandths of a BPM"));

    StatusLabel = new QLabel(this);
    StatusLabel->setGeometry(0, 96, 163, 19);
    StatusLabel->setFont(ArialPixels(17));
    ShowStatus(QStringLiteral("No MIDI Port Selected"), QColor(255, 0, 0));

    URLLabel = new ClickableLabel(QString::fromLatin1(kUserGuide), this);
    URLLabel->setGeometry(72, 120, 94, 13);
    URLLabel->setCursor(Qt::PointingHandCursor);
    SetTextColor(URLLabel, Qt::blue);
    URLLabel->setToolTip(QStringLiteral("User guide"));

    VersionLabel = new QLabel(QStringLiteral("MIDI clock"), this);
    VersionLabel->setGeometry(0, 120, 60, 13);

    MainButtonImage = new ClickableLabel(this);
    MainButtonImage->setGeometry(8, 8, 80, 80);
    MainButtonImage->setAlignment(Qt::AlignCenter);
    MainButtonImage->setAttribute(Qt::WA_TranslucentBackground);

    StatsImage = new ClickableLabel(this);
    StatsImage->setGeometry(98, 137, 25, 32);
    StatsImage->setPixmap(DrawChartIcon());
    StatsImage->setCursor(Qt::PointingHandCursor);
    StatsImage->setToolTip(QStringLiteral("Statistics"));

    TempoTrackBar = new QSlider(Qt::Vertical, this);
    TempoTrackBar->setGeometry(216, 0, 33, 185);
    TempoTrackBar->setCursor(Qt::PointingHandCursor);
    // Position Min sits at the top and stands for the fastest tempo, as on the design.
    TempoTrackBar->setInvertedAppearance(true);
    TempoTrackBar->setInvertedControls(true);
    TempoTrackBar->setRange(20, 600);
    TempoTrackBar->setTickInterval(10);
    TempoTrackBar->setTickPosition(QSlider::TicksRight);
    TempoTrackBar->setPageStep(10);

    HelpButton = new QPushButton(QStringLiteral("?"), this);
    HelpButton->setGeometry(193, 120, 17, 17);

    TapButton = new QPushButton(QStringLiteral("Tap Here"), this);
    TapButton->setGeometry(128, 136, 57, 26);

    ShowMoreButton = new QPushButton(QStringLiteral("..."), this);
    ShowMoreButton->setGeometry(192, 144, 17, 17);
    ShowMoreButton->setToolTip(QStringLiteral("Toggle Window Size"));

    out1_.controls = &model_->out1Controls;
    out1_.portOf = &KorvidMainModel::OutPort1;
    GroupBox1 = BuildPortBox(QRect(0, 184, 249, 77), out1_, 1, true);
    std::tie(MIDIOutComboBox1, MIDIOutEnable1, MIDIOutDevTypeComboBox1, MIDIOutDividerComboBox1,
             MIDIOut1Advanced) = out1_.widgets();
    out2_.controls = &model_->out2Controls;
    out2_.portOf = &KorvidMainModel::OutPort2;
    GroupBox2 = BuildPortBox(QRect(0, 264, 249, 81), out2_, 2, false);
    std::tie(MIDIOutComboBox2, MIDIOutEnable2, MIDIOutDevTypeComboBox2, MIDIOutDividerComboBox2,
             MIDIOut2Advanced) = out2_.widgets();

    InputOptionBox = new QGroupBox(QStringLiteral("Midi Input Port + Key Setup"), this);
    InputOptionBox->setGeometry(0, 352, 249, 73);
    MIDIInComboBox1 = new PortListBox(InputOptionBox);
    MIDIInComboBox1->setGeometry(8, 16, 201, 21);
    MIDIInDevTypeComboBox1 = new QComboBox(InputOptionBox);
    MIDIInDevTypeComboBox1->setGeometry(8, 40, 201, 21);
    MIDIInEnable1 = new QCheckBox(InputOptionBox);
    MIDIInEnable1->setGeometry(216, 16, 17, 17);
    MIDIInEnable1->setChecked(true);
    MIDIInEnable1->setToolTip(QStringLiteral("Enable/Disable this input"));
    InputEditButton = new QPushButton(QStringLiteral("Edit"), InputOptionBox);
    InputEditButton->setGeometry(214, 40, 28, 18);
    ConnectInputBox();

    GeneralOptionBox = new QGroupBox(QStringLiteral("General Settings"), this);
    GeneralOptionBox->setGeometry(0, 432, 249, 49);
    PatchComboBox = new PortListBox(GeneralOptionBox);
    PatchComboBox->setGeometry(8, 20, 118, 21);
    EditPatchButton = new QPushButton(QStringLiteral("Edit"), GeneralOptionBox);
    EditPatchButton->setGeometry(215, 24, 27, 17);
    connect(EditPatchButton, &QPushButton::clicked, this, [this] { EditButtonClick(10); });
    ConnectPatchBox();
    BuildLinkControls();
    BuildPulseBox();

    TapTempoDuration = new QGroupBox(QStringLiteral("TapTempoDuration"), this);
    TapTempoDuration->setGeometry(704, 24, 177, 137);
    auto* durations = new QButtonGroup(TapTempoDuration);
    const char* captions[] = {"4/4", "2/4", "1/4", "1/8", "1/16", "1/32"};
    for (int i = 0; i < 6; ++i) {
        auto* radio = new QRadioButton(QString::fromLatin1(captions[i]), TapTempoDuration);
        radio->setGeometry(8, 16 + i * 19, 160, 18);
        durations->addButton(radio, i);
        TapTempoDurationItems.push_back(radio);
    }
    TapTempoDurationItems[2]->setChecked(true);
    connect(durations, &QButtonGroup::idClicked, this,
            [this](int id) { model_->tap().SetDurationIndex(id); });

    // Tab order: the tap button first.
    setTabOrder(TapButton, TempoFractionalEdit);
    TapButton->setFocus();

    connect(TapButton, &QPushButton::clicked, this, &TKorvidMain::TapButtonClick);
    connect(TempoTrackBar, &QSlider::valueChanged, this, &TKorvidMain::TempoTrackBarChange);
    connect(TempoFractionalEdit, &QSpinBox::valueChanged, this,
            &TKorvidMain::TempoFractionalEditChange);
    connect(MainButtonImage, &ClickableLabel::pressed, this,
            &TKorvidMain::MainButtonImageMouseDown);
    connect(StatsImage, &ClickableLabel::clicked, this, &TKorvidMain::ShowStats);
    connect(URLLabel, &ClickableLabel::clicked, this, &TKorvidMain::OpenWebSite);
    connect(HelpButton, &QPushButton::clicked, this, &TKorvidMain::ShowHelp);
    connect(ShowMoreButton, &QPushButton::clicked, this, &TKorvidMain::ToggleWindowHeight);

    VCLEventsTimer = new QTimer(this);
    VCLEventsTimer->setInterval(50);
    connect(VCLEventsTimer, &QTimer::timeout, this, &TKorvidMain::VCLEventsTimerTimer);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        TrayIcon1 = new QSystemTrayIcon(this);
        connect(TrayIcon1, &QSystemTrayIcon::activated, this, &TKorvidMain::TrayActivated);
        TrayIcon1->setIcon(QIcon(images_.taskbarImage(kLampNoPort)));
        TrayIcon1->show();
    }
}

QGroupBox* TKorvidMain::BuildPortBox(const QRect& geometry, PortWidgets& w, int tag, bool hinted) {
    auto* box = new QGroupBox(QStringLiteral("Midi Output Port %1").arg(tag), this);
    box->setGeometry(geometry);
    auto* portList = new PortListBox(box);
    w.port = portList;
    w.port->setGeometry(8, 20, 201, 21);
    w.port->setObjectName(QStringLiteral("MIDIOutComboBox%1").arg(tag));
    if (hinted)
        w.port->setToolTip(QStringLiteral("Select the midi port where the device is connected"));
    w.enable = new QCheckBox(box);
    w.enable->setGeometry(216, 24, 17, 17);
    w.enable->setChecked(true);
    w.enable->setToolTip(QStringLiteral("Enable/Disable this output"));
    w.deviceType = new QComboBox(box);
    w.deviceType->setGeometry(8, 48, 121, 21);
    w.deviceType->setToolTip(QStringLiteral("Select your MIDI output format of choice"));
    w.divider = new QComboBox(box);
    w.divider->setGeometry(136, 48, 73, 21);
    w.divider->setToolTip(QStringLiteral("Select your clock divider"));
    w.edit = new QPushButton(QStringLiteral("Edit"), box);
    w.edit->setGeometry(216, 48, 25, 17);
    connect(w.edit, &QPushButton::clicked, this, [this, tag] { EditButtonClick(tag); });

    // Only the user's own choices run the handlers; the pump's mirroring does not.
    PortWidgets* pw = &w;
    portList->beforePopup = [this, pw] {
        if (MidiOutPort* port = (model_.get()->*(pw->portOf))()) model_->RefreshPortList(*port);
        MirrorModels();
    };
    connect(w.port, &QComboBox::activated, this,
            [this, pw](int i) { PortSelectorChanged(*pw, i); });
    connect(w.deviceType, &QComboBox::activated, this, [this, pw](int i) {
        pw->controls->deviceType.setIndex(i);
        if (MidiOutPort* port = (model_.get()->*(pw->portOf))()) port->DeviceTypeChanged();
    });
    connect(w.divider, &QComboBox::activated, this, [this, pw](int i) {
        pw->controls->divider.setIndex(i);
        if (MidiOutPort* port = (model_.get()->*(pw->portOf))()) port->DividerChanged();
    });
    connect(w.enable, &QCheckBox::clicked, this, [this, pw](bool checked) {
        pw->controls->enable.setChecked(checked);
        if (MidiOutPort* port = (model_.get()->*(pw->portOf))()) port->SetOutputEnabled(checked);
    });
    return box;
}

void TKorvidMain::PortSelectorChanged(PortWidgets& w, int index) {
    w.controls->port.setIndex(index);
    if (&w == &out2_) {
        // Two ports on this software synth cannot share it: it takes one client only.
        const std::string text = model_->out2Controls.port.text();
        if (text == model_->out1Controls.port.text() &&
            (text == "Microsoft GS Wavetable SW Synth" || text == "Microsoft GS Wavetable Synth")) {
            ShowMessage(QStringLiteral("Warning"),
                        QStringLiteral("Microsoft GS Wavetable Synth is no Multiclient driver!\n"
                                       "You can use MidiYoke + MidiOx to setup a workaround.\n"
                                       "Check %1 for more information.\n"
                                       "Port 2 is set to \"None\" for now.")
                            .arg(QString::fromLatin1(kUserGuide)));
            ListModel& ports = model_->out2Controls.port;
            ports.setIndex(ports.count() - 1);
        }
    }
    if (MidiOutPort* port = (model_.get()->*(w.portOf))()) port->OpenSelectedPort();
    MirrorModels();
}

void TKorvidMain::FormCreate() {
    // Numbers in files never follow the user's locale; the controls follow suit.
    QLocale::setDefault(QLocale::c());
    model_->CreatePorts(options_.definitionFolder.toStdString(),
                        options_.shippedOutputFolder.toStdString());
    CreateInputPort();
    model_->state.PortReady = false;
    GetPresetsINI();  // also opens the saved ports, once each
    if (model_->settings.MINIMIZEONSTARTUP) setWindowState(windowState() | Qt::WindowMinimized);
    model_->ReportMissingJackIfNothingToChoose();
    TempoFractionalEdit->setValue(0);
    // Loaded once per run, so a broken skin is told once; the built-in lamp stays meanwhile.
    QString skinError;
    if (!images_.TryLoadButtonSkin(ProgramFolder(), &skinError) && !skinError.isEmpty())
        ShowMessage(QStringLiteral("Skin not loaded"),
                    QStringLiteral("The lamp pictures (button_0.bmp to button_4.bmp) could not "
                                   "all be read, so the built-in ones are shown.\n\n%1")
                        .arg(skinError));
    model_->state.RunStateChanges.fetch_add(1);
    model_->state.ShowTickPeriod = false;
    MirrorModels();
    VCLEventsTimer->start();
}

void TKorvidMain::showEvent(QShowEvent* event) {
    const QString caption = QStringLiteral("TEMPOVANE %1").arg(QString::fromLatin1(kVersion));
    setWindowTitle(caption);
    if (helpForm_)
        helpForm_->insertLinesAtTop({caption, VersionLabel->text() + " " + URLLabel->text()});
    QWidget::showEvent(event);
}

bool TKorvidMain::AskSaveSettings() {
    if (options_.askSaveSettings) return options_.askSaveSettings();
    return ShowMessageBox(this, QMessageBox::Question, QStringLiteral("Confirm"),
                          QStringLiteral("Save Settings ?"),
                          QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

bool TKorvidMain::AskQuestion(const QString& caption, const QString& text) {
    if (options_.askQuestion) return options_.askQuestion(caption, text);
    return ShowMessageBox(this, QMessageBox::Question, caption, text,
                          QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void TKorvidMain::ShowMessage(const QString& caption, const QString& text) {
    if (options_.showMessage)
        options_.showMessage(caption, text);
    else
        ShowMessageBox(this, QMessageBox::Warning, caption, text);
}

void TKorvidMain::CloseWithoutQuestions() {
    quietClose_ = true;
    close();
}

bool TKorvidMain::CloseQuery() {
    if (!quietClose_ && model_->settings.CLOSEMINIMIZESWHENRUNNING && model_->Timer().Enabled()) {
        setWindowState(windowState() | Qt::WindowMinimized);
        return false;
    }
    // Asked while everything still runs: a user who keeps the window after a failed save finds
    // the clock as it was.
    if (!quietClose_ && !model_->settings.DONTASKSAVESETTINGS && !SaveBeforeClose()) return false;
    // The devices must not be left in play mode with no clock: a running clock sends Stop (and
    // the sequencer's note-offs) before the ports close, whatever the answer, also on SIGTERM.
    model_->StopForClose();
    VCLEventsTimer->stop();
    MIDIInEnable1->setChecked(false);
    return true;
}

bool TKorvidMain::SaveBeforeClose() {
    if (!AskSaveSettings()) return true;
    QString error, detail;
    if (SaveSettings(&error, &detail)) return true;
    return AskQuestion(QStringLiteral("Settings not saved"),
                       error + "\n\n" + detail + "\n\nClose without saving?");
}

void TKorvidMain::FormClose() {
    model_->DestroyPorts();
}

void TKorvidMain::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    if (!CloseQuery()) {
        event->ignore();
        return;
    }
    closing_ = true;
    if (options_.closing) options_.closing();
    FormClose();
    if (helpForm_) helpForm_->close();
    if (statsForm_) statsForm_->close();
    if (TrayIcon1) TrayIcon1->hide();
    event->accept();
}

int TKorvidMain::WindowHeight() const {
    return height() + kFrameHeight;
}

namespace {
// The client size for a stored outer size, without overflow for any number a file can hold.
int ClientSize(int outer, int frame, int minimum) {
    return static_cast<int>(
        std::clamp<int64_t>(int64_t{outer} - frame, std::max(minimum, 1), QWIDGETSIZE_MAX));
}
}  // namespace

void TKorvidMain::SetWindowHeight(int outer) {
    resize(width(), ClientSize(outer, kFrameHeight, minimumHeight()));
}

int TKorvidMain::WindowWidth() const {
    return width() + kFrameWidth;
}

void TKorvidMain::SetWindowWidth(int outer) {
    resize(ClientSize(outer, kFrameWidth, minimumWidth()), height());
}

int TKorvidMain::CompactWindowHeight() const {
    // The tempo part: everything above the first port box, of which the track bar reaches down
    // furthest.
    int bottom = 0;
    const QWidget* tempoPart[] = {TempoTrackBar, TapButton,  ShowMoreButton,
                                  StatsImage,    HelpButton, StatusLabel};
    for (const QWidget* w : tempoPart) bottom = std::max(bottom, w->y() + w->height());
    return bottom + kFrameHeight;
}

void TKorvidMain::PlaceWindowFromSettings() {
    const AppSettings& s = model_->settings;
    // The primary screen first: a window off every screen comes back there.
    std::vector<FrameRect> screens;
    QList<QScreen*> all = QGuiApplication::screens();
    std::stable_partition(all.begin(), all.end(),
                          [](QScreen* sc) { return sc == QGuiApplication::primaryScreen(); });
    for (QScreen* sc : all) {
        const QRect r = sc->availableGeometry();
        screens.push_back({r.x(), r.y(), r.width(), r.height()});
    }
    const int minWidth = kClientWidth + kFrameWidth;
    const int minHeight = CompactWindowHeight();
    setMinimumSize(minWidth - kFrameWidth, minHeight - kFrameHeight);
    const FrameRect frame = PlaceWindow({s.MAINSCREENPOSITIONLEFT, s.MAINSCREENPOSITIONTOP,
                                         s.MAINSCREENPOSITIONWIDTH, s.MAINSCREENPOSITIONHEIGHT},
                                        screens, {minWidth, minHeight, kCaptionHeight});
    move(frame.left, frame.top);
    SetWindowWidth(frame.width);
    SetWindowHeight(frame.height);
}

void TKorvidMain::ToggleWindowHeight() {
    int h = CompactWindowHeight();
    if (h >= WindowHeight()) h = PulseOutputBox->y() + PulseOutputBox->height() + 47;
    SetWindowHeight(h);
}

void TKorvidMain::ShowHelp() {
    if (!helpForm_) return;
    // The generated list of the input map's built-in ranges joins the text on the first click
    // only, so it is there once however often the window is shown.
    if (helpButtonTag_ == 0) {
        QStringList lines;
        for (const std::string& line : DescribeRangesLines()) lines << QString::fromStdString(line);
        helpForm_->appendLines(lines);
        helpButtonTag_ = 1;
    }
    helpForm_->exec();
}

void TKorvidMain::ShowStats() {
    if (!statsForm_) return;
    statsForm_->show();
    statsForm_->raise();
}

QString TKorvidMain::UserGuidePath() const {
    for (const QString& path : {QDir(ProgramFolder()).filePath(QString::fromLatin1(kUserGuide)),
                                options_.installedGuide, QString::fromLatin1(kInstalledUserGuide)})
        if (!path.isEmpty() && QFileInfo::exists(path)) return QFileInfo(path).absoluteFilePath();
    return {};
}

void TKorvidMain::OpenWebSite() {
    const QString guide = UserGuidePath();
    if (guide.isEmpty()) {
        ShowStatus(QStringLiteral("User guide README.md not found"), QColor(255, 0, 0));
        return;
    }
    const EditorStart start = OpenWithDesktop(guide);
    if (start.started) return;
    // The guide is there; say what kept it from opening, and where it is.
    if (start.openerMissing)
        ShowStatus(QStringLiteral("Install %1 to open README.md")
                       .arg(QString::fromLatin1(kDesktopOpenerPackage)),
                   QColor(255, 0, 0),
                   QStringLiteral("The user guide is %1. Opening it from here needs the program "
                                  "%2, from the package %3, which is not installed.")
                       .arg(guide, QString::fromLatin1(kDesktopOpener),
                            QString::fromLatin1(kDesktopOpenerPackage)));
    else
        ShowStatus(QStringLiteral("README.md could not be opened"), QColor(255, 0, 0),
                   QStringLiteral("The user guide is %1; the desktop did not open it.").arg(guide));
}

void TKorvidMain::MainButtonImageMouseDown() {
    if (model_->state.PortReady) RunCommand("StartStopSeq");
}

void TKorvidMain::EditButtonClick(int tag) {
    switch (tag) {
        case 1:
            if (MidiOutPort* port = model_->OutPort1()) EditDefinition(*port);
            break;
        case 2:
            if (MidiOutPort* port = model_->OutPort2()) EditDefinition(*port);
            break;
        case 10:
            EditPatch(PatchComboBox->currentText(), true, false);
            break;
        default:
            break;
    }
}

void TKorvidMain::EditPatch(const QString& name, bool rearm, bool inDefinitionFolder) {
    QString folder = ProgramFolder();
    if (!folder.endsWith('/')) folder += '/';
    if (inDefinitionFolder) folder += QStringLiteral("outdrv/");
    const QString file = name.isEmpty() ? QStringLiteral("clockpresets.ini") : name;
    // A settings patch or the settings file in use (which may be given on the command line).
    const QString patch = QString::fromStdString(patches_->PathOf(file.toStdString()));
    const QString path = QFileInfo(inDefinitionFolder ? folder + file : patch).absoluteFilePath();
    OpenInEditor(path);
    // Also after a failed start: the file may well be edited some other way.
    if (rearm) patches_->StartWatching();
}

void TKorvidMain::OpenInEditor(const QString& path) {
    const EditorStart start = StartEditorFor(ProgramFolder(), path);
    if (start.started) return;
    if (start.openerMissing)
        ShowMessage(QStringLiteral("Operation Error!"),
                    QStringLiteral("Could not open '%1' in an editor: the program '%2' is not "
                                   "installed.\n\nInstall the package %3, or open the file in an "
                                   "editor yourself.")
                        .arg(path, QString::fromLatin1(kDesktopOpener),
                             QString::fromLatin1(kDesktopOpenerPackage)));
    else
        ShowMessage(
            QStringLiteral("Operation Error!"),
            QStringLiteral("Could not run program '%1' to edit '%2'").arg(start.editor, path));
}

void TKorvidMain::EditDefinition(MidiOutPort& port) {
    // The file the port read, not one found by name elsewhere: definitions are looked up from
    // the current directory, which need not be the program's folder.
    QString path = QString::fromStdString(port.DefinitionFile());
    if (path.isEmpty()) {
        ShowMessage(QStringLiteral("Operation Error!"),
                    QStringLiteral("No device type is chosen for this port."));
        return;
    }
    if (!QFileInfo::exists(path)) {
        const QString type = QFileInfo(path).completeBaseName();
        const bool create = AskQuestion(
            QStringLiteral("No definition file"),
            QStringLiteral("The device type '%1' has no definition file: it sends plain clock "
                           "with Start and Stop.\n\nCreate '%2' with these settings and open "
                           "it in an editor?")
                .arg(type, path));
        if (!create) return;
        std::string error;
        if (!CreateOutputDeviceDefinitionFile(path.toStdString(), BuiltInOutputDeviceDefinition(),
                                              &error)) {
            ShowMessage(QStringLiteral("Operation Error!"),
                        QStringLiteral("Could not create '%1': %2")
                            .arg(path, QString::fromStdString(error)));
            return;
        }
    } else {
        // A shipped definition is edited as the user's own copy.
        std::string error;
        const std::string editable = port.EditableDefinitionFile(&error);
        if (editable.empty()) {
            ShowMessage(QStringLiteral("Operation Error!"),
                        QStringLiteral("Could not copy '%1' into your definition folder to edit "
                                       "it: %2")
                            .arg(path, QString::fromStdString(error)));
            return;
        }
        path = QString::fromStdString(editable);
    }
    OpenInEditor(path);
}

void TKorvidMain::TrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        show();
        raise();
    } else if (reason == QSystemTrayIcon::DoubleClick) {
        showNormal();
        activateWindow();
    }
}

void TKorvidMain::changeEvent(QEvent* event) {
    // With a tray icon to come back by, a minimised window leaves the taskbar.
    if (event->type() == QEvent::WindowStateChange && TrayIcon1 &&
        (windowState() & Qt::WindowMinimized))
        QTimer::singleShot(0, this, [this] { hide(); });
    QWidget::changeEvent(event);
}

bool TKorvidMain::OwnsWidget(QObject* object) const {
    auto* widget = qobject_cast<QWidget*>(object);
    return widget && (widget == this || isAncestorOf(widget));
}

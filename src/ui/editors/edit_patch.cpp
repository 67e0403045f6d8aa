#include "ui/editors/edit_patch.h"

#include <QBoxLayout>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>

#include "app/main_model.h"
#include "midiin/midi_in_port.h"
#include "ui/adapters/message_box_qt.h"
#include "ui/editors/edit_preset.h"

namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QTableWidget* MakeGrid(QWidget* parent, const char* name, int rows, int columns) {
    auto* grid = new QTableWidget(rows, columns, parent);
    grid->setObjectName(QString::fromLatin1(name));
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->horizontalHeader()->setDefaultSectionSize(80);
    grid->horizontalHeader()->setHighlightSections(false);
    grid->verticalHeader()->setDefaultSectionSize(24);
    grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid->verticalHeader()->setHighlightSections(false);
    grid->setWordWrap(false);
    return grid;
}

void SetCell(QTableWidget* grid, int row, int column, const QString& text) {
    QTableWidgetItem* item = grid->item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        grid->setItem(row, column, item);
    }
    item->setText(text);
    // A comment longer than its column shows whole when pointed at.
    item->setToolTip(text);
}

QString AskSavePath(QWidget* parent, const QString& folder, const QString& fileName) {
    QFileDialog dialog(parent, QStringLiteral("Save Input Map Patch"), folder);
    dialog.setObjectName(QStringLiteral("PatchSaveDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // Lower case, as the definitions are listed and read.
    dialog.setDefaultSuffix(QStringLiteral("ini"));
    dialog.setNameFilter(QStringLiteral("Input maps (*.ini *.INI)"));
    dialog.selectFile(fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

}  // namespace

TEditPatch::TEditPatch(QWidget* owner, Services services)
    : QDialog(owner), services_(std::move(services)) {
    setObjectName(QStringLiteral("EditPatch"));
    setModal(true);
    setSizeGripEnabled(true);
    resize(670, 580);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));

    AdvMap = new QWidget;
    AdvMap->setObjectName(QStringLiteral("AdvMap"));
    auto* advLayout = new QVBoxLayout(AdvMap);
    advLayout->addWidget(new QLabel(QStringLiteral("Advanced Midi And Key Mapping :"), AdvMap));
    AdvActionsStringGrid = MakeGrid(AdvMap, "AdvActionsStringGrid", PatchEditModel::kAdvRows - 1,
                                    PatchEditModel::kAdvColumns - 1);
    AdvActionsStringGrid->verticalHeader()->setMinimumWidth(80);
    AdvActionsStringGrid->setColumnWidth(2, 300);
    AdvActionsStringGrid->horizontalHeader()->setStretchLastSection(true);
    advLayout->addWidget(AdvActionsStringGrid);
    PageControl1->addTab(AdvMap, QStringLiteral("Midi Map"));

    KeyMap = new QWidget;
    KeyMap->setObjectName(QStringLiteral("KeyMap"));
    auto* keyLayout = new QVBoxLayout(KeyMap);
    keyLayout->addWidget(
        new QLabel(QStringLiteral("3.xx Function Key Shortcut Mapping :"), KeyMap));
    KeyActionsStringGrid = MakeGrid(KeyMap, "KeyActionsStringGrid", PatchEditModel::kKeyRows - 1,
                                    PatchEditModel::kKeyColumns);
    KeyActionsStringGrid->verticalHeader()->hide();
    KeyActionsStringGrid->setColumnWidth(2, 350);
    keyLayout->addWidget(KeyActionsStringGrid);
    PageControl1->addTab(KeyMap, QStringLiteral("3.xx Function Key Map"));

    MCLOCKINProcess =
        new QCheckBox(QStringLiteral("MIDI Clock Input Realtime Tick Processing"), this);
    MCLOCKINProcess->setObjectName(QStringLiteral("MCLOCKINProcess"));
    MCLOCKINLock = new QCheckBox(QStringLiteral("Lock to Tempo and Phase"), this);
    MCLOCKINLock->setObjectName(QStringLiteral("MCLOCKINLock"));
    MCLOCKINLock->setToolTip(
        QStringLiteral("Follow the incoming clock tick by tick, in tempo and phase, and send a "
                       "clean clock in step with it (instead of measuring its tempo every half "
                       "second)"));
    SaveAsButton = new QPushButton(QStringLiteral("Save as ..."), this);
    SaveAsButton->setObjectName(QStringLiteral("SaveAsButton"));
    SaveAsButton->setAutoDefault(false);
    OKButton = new QPushButton(QStringLiteral("Store"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(MCLOCKINProcess);
    buttons->addWidget(MCLOCKINLock);
    buttons->addStretch();
    buttons->addWidget(SaveAsButton);
    buttons->addWidget(OKButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    layout->addLayout(buttons);

    connect(AdvActionsStringGrid, &QTableWidget::cellClicked, this,
            [this](int row, int) { AdvActionsStringGridClick(row + 1); });
    connect(KeyActionsStringGrid, &QTableWidget::cellClicked, this,
            [this](int row, int) { KeyActionsStringGridClick(row + 1); });
    AdvActionsStringGrid->installEventFilter(this);
    KeyActionsStringGrid->installEventFilter(this);
    connect(MCLOCKINProcess, &QCheckBox::toggled, this,
            [this](bool on) { model_.MCLOCKINProcess = on; });
    connect(MCLOCKINLock, &QCheckBox::toggled, this, [this](bool on) { model_.MCLOCKINLock = on; });
    connect(OKButton, &QPushButton::clicked, this, &TEditPatch::OKButtonClick);
    connect(SaveAsButton, &QPushButton::clicked, this, &TEditPatch::SaveAsButtonClick);
}

void TEditPatch::Fill(KorvidMainModel& main, const QString& deviceTypeName, MidiInPort& port) {
    main_ = &main;
    model_.EditInputMap(main.settings, deviceTypeName.toStdString(), port);
    setWindowTitle(Text(model_.Caption));
    PageControl1->setCurrentIndex(0);
    const QSignalBlocker block(MCLOCKINProcess);
    MCLOCKINProcess->setChecked(model_.MCLOCKINProcess);
    const QSignalBlocker blockLock(MCLOCKINLock);
    MCLOCKINLock->setChecked(model_.MCLOCKINLock);
    showGrids();
}

void TEditPatch::EditInputMap(KorvidMainModel& main, const QString& deviceTypeName,
                              MidiInPort& port) {
    Fill(main, deviceTypeName, port);
    exec();
}

void TEditPatch::showGrids() {
    const auto& adv = model_.AdvActionsStringGrid;
    QStringList header;
    for (int c = 1; c < PatchEditModel::kAdvColumns; ++c) header << Text(adv[0][c]);
    AdvActionsStringGrid->setHorizontalHeaderLabels(header);
    QStringList rows;
    for (int r = 1; r < PatchEditModel::kAdvRows; ++r) {
        rows << Text(adv[r][0]);
        for (int c = 1; c < PatchEditModel::kAdvColumns; ++c)
            SetCell(AdvActionsStringGrid, r - 1, c - 1, Text(adv[r][c]));
    }
    AdvActionsStringGrid->setVerticalHeaderLabels(rows);

    const auto& keys = model_.KeyActionsStringGrid;
    QStringList keyHeader;
    for (int c = 0; c < PatchEditModel::kKeyColumns; ++c) keyHeader << Text(keys[0][c]);
    KeyActionsStringGrid->setHorizontalHeaderLabels(keyHeader);
    for (int r = 1; r < PatchEditModel::kKeyRows; ++r)
        for (int c = 0; c < PatchEditModel::kKeyColumns; ++c)
            SetCell(KeyActionsStringGrid, r - 1, c, Text(keys[r][c]));
}

void TEditPatch::runPreset(TEditPreset& preset, bool learns) {
    preset.ShowModel();
    if (services_.presetShown) services_.presetShown(preset);
    if (learns && main_) main_->SetLearnTarget(&preset.Model());
    preset.exec();
    if (learns && main_) main_->ClearLearnTarget();
}

void TEditPatch::AdvActionsStringGridClick(int row) {
    TEditPreset preset(this);
    if (!model_.BeginAdvRowEdit(row, preset.Model())) return;
    runPreset(preset, true);
    model_.EndAdvRowEdit(row, preset.Model());
    showGrids();
}

void TEditPatch::KeyActionsStringGridClick(int row) {
    TEditPreset preset(this);
    if (!model_.BeginKeyRowEdit(row, preset.Model())) return;
    runPreset(preset, false);
    model_.EndKeyRowEdit(row, preset.Model());
    showGrids();
}

bool TEditPatch::report(const PatchEditModel::StoreResult& result) {
    if (result.ok) return true;
    const QString caption = QStringLiteral("Input Map Patch");
    if (services_.showMessage)
        services_.showMessage(caption, Text(result.message));
    else
        ShowMessageBox(this, QMessageBox::Warning, caption, Text(result.message));
    return false;
}

void TEditPatch::OKButtonClick() {
    if (report(model_.Store())) accept();
}

void TEditPatch::SaveAsButtonClick() {
    const MidiInPort* port = model_.Port();
    const QString folder = port ? Text(port->InputFolder()) : QString();
    const QString name = port ? Text(port->DefinitionName()) : QString();
    const QString path = services_.askSavePath ? services_.askSavePath(folder, name)
                                               : AskSavePath(this, folder, name);
    if (path.isEmpty()) return;
    report(model_.SaveAs(path.toStdString()));
}

bool TEditPatch::eventFilter(QObject* watched, QEvent* event) {
    // Enter on a row edits it, as a click does; moving with the arrows only selects.
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (watched == AdvActionsStringGrid && AdvActionsStringGrid->currentRow() >= 0) {
                AdvActionsStringGridClick(AdvActionsStringGrid->currentRow() + 1);
                return true;
            }
            if (watched == KeyActionsStringGrid && KeyActionsStringGrid->currentRow() >= 0) {
                KeyActionsStringGridClick(KeyActionsStringGrid->currentRow() + 1);
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TEditPatch::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

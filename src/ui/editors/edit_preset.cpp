#include "ui/editors/edit_preset.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QStyle>
#include <QWindow>
#include <algorithm>

#include "ui/adapters/key_codes_qt.h"

namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* MakeLabel(const QString& text, QWidget* parent, const QRect& geometry) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    return label;
}

template <typename W>
W* Named(W* widget, const char* name, const QRect& geometry) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

// The texts of an opening editor are read from their start, as a long comment begins with
// what it is about; once the editor is up, a text changed under the user's hands (learning,
// typing) keeps the cursor at its end, where typing goes on.
void SetTextKeepingCursor(QLineEdit* edit, const QString& text, bool opening) {
    if (edit->text() == text) return;
    edit->setText(text);
    if (opening) edit->setCursorPosition(0);
}

// Range items say what they do at their end ("{BPMMap +40}", "(Ignores Byte 2)"), and they are
// longer than the boxes: the list opens as wide as its widest item, and the closed box and each
// item carry the whole text as a tooltip.
void ShowWholeItems(QComboBox* box) {
    const QFontMetrics metrics(box->view()->font());
    int widest = 0;
    for (int i = 0; i < box->count(); ++i) {
        const QString text = box->itemText(i);
        box->setItemData(i, text, Qt::ToolTipRole);
        widest = std::max(widest, metrics.horizontalAdvance(text));
    }
    // Room for the item's margins, the frame and a vertical scroll bar beside the text.
    const int extra = 2 * box->view()->frameWidth() + 16 +
                      box->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, box);
    box->view()->setMinimumWidth(std::max(box->width(), widest + extra));
}

}  // namespace

TEditPreset::TEditPreset(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("EditPreset"));
    setModal(true);
    setFixedSize(543, 296);

    InputGroupBox =
        Named(new QGroupBox(QStringLiteral("Input"), this), "InputGroupBox", QRect(8, 6, 262, 192));
    MakeLabel(QStringLiteral("Hex :"), InputGroupBox, QRect(10, 26, 62, 20));
    EditValue = Named(new QLineEdit(InputGroupBox), "EditValue", QRect(76, 24, 176, 24));
    EditValue->setToolTip(
        QStringLiteral("Status with channel, byte 1 and byte 2 in hex, e.g. B9 07 33"));
    MakeLabel(QStringLiteral("Status :"), InputGroupBox, QRect(10, 55, 62, 20));
    StatusComboBox = Named(new QComboBox(InputGroupBox), "StatusComboBox", QRect(76, 53, 176, 24));
    MakeLabel(QStringLiteral("Channel :"), InputGroupBox, QRect(10, 84, 62, 20));
    ChannelComboBox =
        Named(new QComboBox(InputGroupBox), "ChannelComboBox", QRect(76, 82, 176, 24));
    ChannelComboBox->setMaxVisibleItems(16);
    Par1Label = Named(new QLabel(QStringLiteral("Byte 1 :"), InputGroupBox), "Par1Label",
                      QRect(10, 113, 62, 20));
    Par1ComboBox = Named(new QComboBox(InputGroupBox), "Par1ComboBox", QRect(76, 111, 176, 24));
    Par2Label = Named(new QLabel(QStringLiteral("Byte 2 :"), InputGroupBox), "Par2Label",
                      QRect(10, 142, 62, 20));
    Par2ComboBox = Named(new QComboBox(InputGroupBox), "Par2ComboBox", QRect(76, 140, 176, 24));
    extract_edit = Named(new QLineEdit(InputGroupBox), "extract_edit", QRect(10, 166, 242, 20));
    extract_edit->setReadOnly(true);
    extract_edit->setFrame(false);
    extract_edit->setFocusPolicy(Qt::NoFocus);

    GroupBox1 = Named(new QGroupBox(QStringLiteral("Keyboard Input Learning"), this), "GroupBox1",
                      QRect(8, 204, 262, 84));
    PCKeybLearnMode = Named(new QCheckBox(QStringLiteral("PC Keyboard Learn Mode :"), GroupBox1),
                            "PCKeybLearnMode", QRect(10, 20, 240, 20));
    KeybAutoEnterHex = Named(new QCheckBox(QStringLiteral("Keyb Auto Enter Hex"), GroupBox1),
                             "KeybAutoEnterHex", QRect(10, 40, 240, 20));
    KeyCodeLabel = Named(new QLabel(QStringLiteral("...."), GroupBox1), "KeyCodeLabel",
                         QRect(12, 60, 238, 20));

    ActionGroupBox = Named(new QGroupBox(QStringLiteral("Action"), this), "ActionGroupBox",
                           QRect(278, 6, 257, 84));
    ActionValue = Named(new QLineEdit(ActionGroupBox), "ActionValue", QRect(10, 24, 237, 24));
    ActionValue->setToolTip(QStringLiteral("Action code, or a tempo from 1 to 9999"));
    ActionComboBox = Named(new QComboBox(ActionGroupBox), "ActionComboBox", QRect(10, 53, 237, 24));
    ActionComboBox->setMaxVisibleItems(24);

    CommentsGroupBox = Named(new QGroupBox(QStringLiteral("Comments"), this), "CommentsGroupBox",
                             QRect(278, 94, 257, 56));
    CommentsEdit = Named(new QLineEdit(CommentsGroupBox), "CommentsEdit", QRect(10, 24, 237, 24));

    Learning = Named(new QGroupBox(QStringLiteral("MIDI Input Learning"), this), "Learning",
                     QRect(278, 154, 257, 98));
    MakeLabel(QStringLiteral("MIDI Learn Mode Enable :"), Learning, QRect(10, 22, 152, 20));
    HexSpy = Named(new QCheckBox(QStringLiteral("?"), Learning), "HexSpy", QRect(164, 22, 88, 20));
    HexSpy->setToolTip(QStringLiteral("Learn the next message from the MIDI input port"));
    StatusFilter = Named(new QCheckBox(QStringLiteral("Status Filter"), Learning), "StatusFilter",
                         QRect(10, 48, 118, 20));
    ChannelFilter = Named(new QCheckBox(QStringLiteral("Channel Filter"), Learning),
                          "ChannelFilter", QRect(130, 48, 122, 20));
    MaskRange = Named(new QCheckBox(QStringLiteral("Mask Range"), Learning), "MaskRange",
                      QRect(10, 72, 118, 20));
    AutoEnter = Named(new QCheckBox(QStringLiteral("Auto Enter Hex"), Learning), "AutoEnter",
                      QRect(130, 72, 122, 20));

    OKButton =
        Named(new QPushButton(QStringLiteral("OK"), this), "OKButton", QRect(455, 260, 80, 28));
    // Enter must stay a key that keyboard learning can take, not a hidden OK.
    OKButton->setAutoDefault(false);

    connectControls();
    ShowModel();
}

TEditPreset::~TEditPreset() = default;

void TEditPreset::connectControls() {
    // Only what the user does reaches the model; ShowModel blocks the signals it would raise.
    connect(EditValue, &QLineEdit::textEdited, this, [this](const QString& text) {
        model_.SetEditValue(text.toStdString());
        ShowModel();
    });
    connect(StatusComboBox, &QComboBox::activated, this, [this](int index) {
        model_.StatusComboBoxChange(index);
        ShowModel();
    });
    connect(ChannelComboBox, &QComboBox::activated, this, [this](int index) {
        model_.ChannelComboBoxChange(index);
        ShowModel();
    });
    connect(Par1ComboBox, &QComboBox::activated, this, [this](int index) {
        model_.Par1ComboBoxChange(index);
        ShowModel();
    });
    connect(Par2ComboBox, &QComboBox::activated, this, [this](int index) {
        model_.Par2ComboBoxChange(index);
        ShowModel();
    });
    connect(ActionValue, &QLineEdit::textEdited, this, [this](const QString& text) {
        model_.SetActionValue(text.toStdString());
        ShowModel();
    });
    connect(ActionComboBox, &QComboBox::activated, this, [this](int index) {
        model_.ActionComboBoxChange(index);
        ShowModel();
    });
    connect(CommentsEdit, &QLineEdit::textEdited, this,
            [this](const QString& text) { model_.CommentsEdit = text.toStdString(); });
    connect(HexSpy, &QCheckBox::toggled, this, [this](bool on) { model_.HexSpy.setChecked(on); });
    connect(StatusFilter, &QCheckBox::toggled, this, [this](bool on) { model_.StatusFilter = on; });
    connect(ChannelFilter, &QCheckBox::toggled, this,
            [this](bool on) { model_.ChannelFilter = on; });
    connect(MaskRange, &QCheckBox::toggled, this, [this](bool on) { model_.MaskRange = on; });
    connect(AutoEnter, &QCheckBox::toggled, this, [this](bool on) { model_.AutoEnter = on; });
    connect(PCKeybLearnMode, &QCheckBox::toggled, this, [this](bool on) {
        model_.PCKeybLearnModeClick(on);
        ShowModel();
    });
    connect(KeybAutoEnterHex, &QCheckBox::toggled, this,
            [this](bool on) { model_.KeybAutoEnterHex = on; });
    connect(OKButton, &QPushButton::clicked, this, [this] {
        takeTexts();
        model_.OKButtonClick();
        ShowModel();
        accept();
    });
    model_.AfterLearn = [this] { ShowModel(); };
}

void TEditPreset::ShowList(QComboBox* box, const ListModel& list, uint64_t& shown) {
    if (list.version() == shown) return;
    shown = list.version();
    const QSignalBlocker block(box);
    QStringList items;
    for (const std::string& item : list.items()) items << Text(item);
    bool same = box->count() == items.size();
    for (int i = 0; same && i < items.size(); ++i) same = box->itemText(i) == items[i];
    if (!same) {
        box->clear();
        box->addItems(items);
        ShowWholeItems(box);
    }
    box->setCurrentIndex(list.index());
}

void TEditPreset::ShowModel() {
    setWindowTitle(Text(model_.Caption));
    {
        const QSignalBlocker block(EditValue);
        SetTextKeepingCursor(EditValue, Text(model_.EditValue()), !isVisible());
    }
    extract_edit->setText(Text(model_.ExtractText()));
    extract_edit->setCursorPosition(0);
    ShowList(StatusComboBox, model_.StatusComboBox, shownStatus_);
    ShowList(ChannelComboBox, model_.ChannelComboBox, shownChannel_);
    ShowList(Par1ComboBox, model_.Par1ComboBox, shownPar1_);
    ShowList(Par2ComboBox, model_.Par2ComboBox, shownPar2_);
    ShowList(ActionComboBox, model_.ActionComboBox, shownAction_);
    for (QComboBox* box :
         {StatusComboBox, ChannelComboBox, Par1ComboBox, Par2ComboBox, ActionComboBox})
        box->setToolTip(box->currentText());
    {
        const QSignalBlocker block(ActionValue);
        SetTextKeepingCursor(ActionValue, Text(model_.ActionValue()), !isVisible());
    }
    {
        const QSignalBlocker block(CommentsEdit);
        SetTextKeepingCursor(CommentsEdit, Text(model_.CommentsEdit), !isVisible());
    }
    InputGroupBox->setEnabled(model_.InputGroupEnabled);
    const std::pair<QCheckBox*, bool> boxes[] = {{HexSpy, model_.HexSpy.checked()},
                                                 {StatusFilter, model_.StatusFilter},
                                                 {ChannelFilter, model_.ChannelFilter},
                                                 {MaskRange, model_.MaskRange},
                                                 {AutoEnter, model_.AutoEnter},
                                                 {PCKeybLearnMode, model_.PCKeybLearnMode},
                                                 {KeybAutoEnterHex, model_.KeybAutoEnterHex}};
    for (const auto& [box, checked] : boxes) {
        const QSignalBlocker block(box);
        box->setChecked(checked);
    }
    HexSpy->setText(Text(model_.HexSpyCaption));
    KeyCodeLabel->setText(Text(model_.KeyCodeLabel));
}

void TEditPreset::takeTexts() {
    model_.SetActionValue(ActionValue->text().toStdString());
    model_.CommentsEdit = CommentsEdit->text().toStdString();
}

bool TEditPreset::eventFilter(QObject* watched, QEvent* event) {
    // The window gets each key once, before it goes on to the focused control.
    if (event->type() == QEvent::KeyPress && watched == windowHandle()) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (model_.PCKeybLearnMode) {
            model_.FormKeyDown(VirtualKeyFromEvent(*key));
            ShowModel();
            // Escape is a key to learn here, not a request to close the dialog.
            if (key->key() == Qt::Key_Escape) return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TEditPreset::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (windowHandle() && !filtering_) {
        windowHandle()->installEventFilter(this);
        filtering_ = true;
    }
}

void TEditPreset::done(int result) {
    takeTexts();
    QDialog::done(result);
}

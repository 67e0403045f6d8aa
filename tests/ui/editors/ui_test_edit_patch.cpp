// The input map editors as the user meets them: the input "Edit" button opens the patch
// editor, a click on a row opens the preset editor, learning takes a message from the input
// port, and Store puts the map into use and into the definition file.
#include <gtest/gtest.h>

#include <QPointer>
#include <QTimer>
#include <functional>

#include "midiin/midi_in_port.h"
#include "platform/ini_file.h"
#include "support/window_rig.h"
#include "ui/editors/edit_patch.h"
#include "ui/editors/edit_preset.h"

namespace {

const std::string kVirtualInput = kVirtualInputName;

struct EditorsTest : MainWindowTest {
    DialogWatchdog watchdog;

    void SetUp() override {
        MainWindowTest::SetUp();
        folder.write("indrv/Pedal.ini",
                     "[SPECIAL_COMMANDS]\nINPUT0=B00740\nACTION0=10001\nCOMMENT0=Start\n");
    }

    TKorvidMain& openWithPedal() {
        TKorvidMain& w = open();
        w.MIDIInDevTypeComboBox1->setCurrentIndex(0);
        emit w.MIDIInDevTypeComboBox1->activated(0);
        w.MIDIInComboBox1->setCurrentIndex(0);
        emit w.MIDIInComboBox1->activated(0);
        EXPECT_EQ(w.MIDIInDevTypeComboBox1->currentText(), "Pedal");
        return w;
    }

    // Runs step once the next dialog of type D is up (called before the click that opens it).
    template <typename D>
    void whenShown(std::function<void(D&)> step) {
        QTimer::singleShot(0, [step] {
            auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
            if (!dialog) {
                ADD_FAILURE() << "expected dialog not shown";
                return;
            }
            step(*dialog);
        });
    }

    static void clickRow(QTableWidget* grid, int row) {
        const QRect cell = grid->visualRect(grid->model()->index(row, 0));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    }
    static QString cell(QTableWidget* grid, int row, int column) {
        const QTableWidgetItem* item = grid->item(row, column);
        return item ? item->text() : QString();
    }
    // A key as the keyboard delivers it: to the dialog's window, which passes it on to the
    // focused control.
    static void press(QWidget* dialog, Qt::Key key) {
        QTest::keyClick(dialog->windowHandle(), key);
    }
    static void pick(QComboBox* box, const QString& item) {
        const int index = box->findText(item);
        ASSERT_GE(index, 0) << item.toStdString();
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    static void type(QLineEdit* edit, const QString& text) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }
    IniFile definition(const std::string& name = "Pedal.ini") const {
        IniFile file;
        file.load(folder.file("indrv/" + name));
        return file;
    }
};

}  // namespace

TEST_F(EditorsTest, APedalLearntInTheEditorsSteersTheTempoAfterStore) {
    TKorvidMain& w = openWithPedal();
    bool presetDone = false, patchDone = false;
    whenShown<TEditPatch>([&](TEditPatch& patch) {
        EXPECT_EQ(patch.windowTitle(), "Input Map Patch: Pedal");
        EXPECT_EQ(cell(patch.AdvActionsStringGrid, 0, 0), "B00740");
        EXPECT_EQ(cell(patch.AdvActionsStringGrid, 1, 0), "000000");
        EXPECT_EQ(patch.AdvActionsStringGrid->verticalHeaderItem(1)->text(), "Map #1");
        whenShown<TEditPreset>([&](TEditPreset& preset) {
            EXPECT_EQ(preset.windowTitle(), "Preset Edit : Map #1");
            EXPECT_EQ(preset.EditValue->text(), "00 00 00");
            ClickCheckBox(preset.HexSpy);  // learning on
            // The pedal moves: controller 11 on channel 3, several values in one pump pass.
            memory->inject(kVirtualInput, {0xB2, 0x0B, 0x10}, 1);
            memory->inject(kVirtualInput, {0xB2, 0x0B, 0x50}, 2);
            EXPECT_EQ(preset.EditValue->text(), "00 00 00");  // not before the pump
            pump();
            EXPECT_EQ(preset.HexSpy->text(), "B20B50");
            EXPECT_EQ(preset.EditValue->text(), "B20BF5");  // Mask Range
            EXPECT_EQ(preset.StatusComboBox->currentText(), "0xBc=Controller Change");
            EXPECT_EQ(preset.ChannelComboBox->currentText(), "2");
            EXPECT_EQ(preset.Par2ComboBox->currentText(), "245=0xF5: {BPMMap +40}");
            pick(preset.ActionComboBox, "10000=Controller To Tempo Map");
            EXPECT_EQ(preset.ActionValue->text(), "10000");
            type(preset.CommentsEdit, "Expression pedal");
            QTest::mouseClick(preset.OKButton, Qt::LeftButton);
            presetDone = true;
        });
        clickRow(patch.AdvActionsStringGrid, 1);
        EXPECT_EQ(cell(patch.AdvActionsStringGrid, 1, 0), "B20BF5");
        EXPECT_EQ(cell(patch.AdvActionsStringGrid, 1, 1), "10000");
        EXPECT_EQ(cell(patch.AdvActionsStringGrid, 1, 2), "Expression pedal");
        // The map in use is still the old one until Store.
        EXPECT_EQ(model().InPort()->Map().InputCodes[1], 0);
        QTest::mouseClick(patch.OKButton, Qt::LeftButton);
        patchDone = true;
    });
    QTest::mouseClick(w.InputEditButton, Qt::LeftButton);
    ASSERT_TRUE(presetDone && patchDone);
    EXPECT_EQ(model().LearnTarget(), nullptr);
    EXPECT_EQ(model().InPort()->LearnTarget(), nullptr);

    const IniFile file = definition();
    EXPECT_EQ(file.readString("SPECIAL_COMMANDS", "INPUT1", ""), "B20BF5");
    EXPECT_EQ(file.readString("SPECIAL_COMMANDS", "ACTION1", ""), "10000");
    EXPECT_EQ(file.readString("SPECIAL_COMMANDS", "COMMENT1", ""), "Expression pedal");
    EXPECT_EQ(file.readString("SPECIAL_COMMANDS", "INPUT0", ""), "B00740");

    memory->inject(kVirtualInput, {0xB2, 0x0B, 100}, 3);  // 100 + 40
    EXPECT_DOUBLE_EQ(model().GetBPM(), 140);
}

TEST_F(EditorsTest, EachEditIsAFreshEditorAndTheCloseBoxDiscards) {
    TKorvidMain& w = openWithPedal();
    const std::string before = folder.read("indrv/Pedal.ini");
    QPointer<TEditPatch> first;
    whenShown<TEditPatch>([&](TEditPatch& patch) {
        first = &patch;
        whenShown<TEditPreset>([&](TEditPreset& preset) {
            EXPECT_EQ(preset.ActionComboBox->currentText(), "10001=Start/Stop");
            type(preset.ActionValue, "10003");
            EXPECT_EQ(preset.ActionComboBox->currentText(), "10003=Continue");
            preset.close();  // no cancel: the values come back however it closes
        });
        clickRow(patch.AdvActionsStringGrid, 0);
        EXPECT_EQ(cell(patch.AdvActionsStringGrid, 0, 1), "10003");
        patch.close();
    });
    w.InputEditButton->click();
    EXPECT_TRUE(first.isNull());
    EXPECT_DOUBLE_EQ(model().InPort()->Map().Actions[0], 10001);
    EXPECT_EQ(folder.read("indrv/Pedal.ini"), before);

    bool shown = false;
    whenShown<TEditPatch>([&](TEditPatch& patch) {
        shown = true;
        EXPECT_EQ(cell(patch.AdvActionsStringGrid, 0, 1), "10001");
        patch.close();
    });
    w.InputEditButton->click();
    EXPECT_TRUE(shown);
}

TEST_F(EditorsTest, FunctionKeyRowsTakeAKeyCommentAndAPresetTempo) {
    TKorvidMain& w = openWithPedal();
    whenShown<TEditPatch>([&](TEditPatch& patch) {
        patch.PageControl1->setCurrentIndex(1);
        clickRow(patch.KeyActionsStringGrid, 5);  // an empty row opens nothing
        EXPECT_EQ(QApplication::activeModalWidget(), &patch);
        whenShown<TEditPreset>([&](TEditPreset& preset) {
            EXPECT_EQ(preset.windowTitle(), "Preset Edit : F6");
            EXPECT_EQ(preset.EditValue->text(), "*Key F6");
            EXPECT_EQ(preset.extract_edit->text(), "*Key F6");
            EXPECT_FALSE(preset.InputGroupBox->isEnabled());
            EXPECT_EQ(preset.ActionValue->text(), "120");
            // Keyboard learn of one key, with the input map's key numbers.
            ClickCheckBox(preset.PCKeybLearnMode);
            ClickCheckBox(preset.KeybAutoEnterHex);
            preset.CommentsEdit->setFocus();
            press(&preset, Qt::Key_F5);
            EXPECT_EQ(preset.KeyCodeLabel->text(), "PC Key: 60 00 74");
            EXPECT_EQ(preset.CommentsEdit->text(), "PC Key : t");
            EXPECT_FALSE(preset.KeybAutoEnterHex->isChecked());
            press(&preset, Qt::Key_A);
            EXPECT_EQ(preset.KeyCodeLabel->text(), "PC Key: 60 00 41");
            // Escape and Enter are keys to learn, not a way out of the dialog.
            press(&preset, Qt::Key_Escape);
            press(&preset, Qt::Key_Return);
            EXPECT_TRUE(preset.isVisible());
            EXPECT_EQ(preset.KeyCodeLabel->text(), "PC Key: 60 00 0D");
            ClickCheckBox(preset.PCKeybLearnMode);
            EXPECT_EQ(preset.KeyCodeLabel->text(), "...");
            type(preset.ActionValue, "133");
            QTest::mouseClick(preset.OKButton, Qt::LeftButton);
        });
        clickRow(patch.KeyActionsStringGrid, 1);
        EXPECT_EQ(cell(patch.KeyActionsStringGrid, 1, 1), "133");
        EXPECT_EQ(cell(patch.KeyActionsStringGrid, 1, 2), "PC Key : ta");
        QTest::mouseClick(patch.OKButton, Qt::LeftButton);
    });
    w.InputEditButton->click();
    EXPECT_DOUBLE_EQ(model().settings.F6BPM.load(), 133);
    EXPECT_EQ(definition().readString("SPECIAL_COMMANDS", "INPUT0", ""), "B00740");
}

TEST_F(EditorsTest, StoreWithAnActionThatIsNoNumberSaysSoAndStaysOpen) {
    TKorvidMain& w = openWithPedal();
    const std::string before = folder.read("indrv/Pedal.ini");
    whenShown<TEditPatch>([&](TEditPatch& patch) {
        whenShown<TEditPreset>([&](TEditPreset& preset) {
            type(preset.ActionValue, "12x");
            EXPECT_EQ(preset.ActionComboBox->currentIndex(), -1);
            QTest::mouseClick(preset.OKButton, Qt::LeftButton);
        });
        clickRow(patch.AdvActionsStringGrid, 2);
        QTest::mouseClick(patch.OKButton, Qt::LeftButton);
        EXPECT_TRUE(patch.isVisible());
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].contains("'12x'")) << messages[0].toStdString();
        EXPECT_TRUE(messages[0].contains("Map #2")) << messages[0].toStdString();
        patch.close();
    });
    w.InputEditButton->click();
    EXPECT_EQ(folder.read("indrv/Pedal.ini"), before);
}

TEST_F(EditorsTest, SaveAsWritesANewTypeThatStoreThenKeeps) {
    TKorvidMain& w = openWithPedal();
    QString offeredFolder, offeredName;
    askSavePath = [&](const QString& dir, const QString& name) {
        offeredFolder = dir;
        offeredName = name;
        return QString::fromStdString(folder.file("indrv/Live.ini"));
    };
    whenShown<TEditPatch>([&](TEditPatch& patch) {
        ClickCheckBox(patch.MCLOCKINProcess);
        QTest::mouseClick(patch.SaveAsButton, Qt::LeftButton);
        EXPECT_TRUE(patch.isVisible());
        pump();  // the main window shows the new type while the editor is open
        EXPECT_EQ(w.MIDIInDevTypeComboBox1->currentText(), "Live");
        whenShown<TEditPreset>([&](TEditPreset& preset) {
            type(preset.ActionValue, "10005");
            QTest::mouseClick(preset.OKButton, Qt::LeftButton);
        });
        clickRow(patch.AdvActionsStringGrid, 0);
        QTest::mouseClick(patch.OKButton, Qt::LeftButton);
    });
    w.InputEditButton->click();
    EXPECT_EQ(offeredFolder.toStdString(), folder.path() + "indrv/");
    EXPECT_EQ(offeredName, "Pedal.ini");
    const IniFile live = definition("Live.ini");
    EXPECT_EQ(live.readString("SPECIAL_COMMANDS", "ACTION0", ""), "10005");
    EXPECT_EQ(live.readString("DEVICECONFIGURATION", "TEMPOVANE_IN_HANDLING", ""), "1");
    EXPECT_EQ(definition().readString("SPECIAL_COMMANDS", "ACTION0", ""), "10001");
    EXPECT_TRUE(model().InPort()->Map().ClockInHandling);
}

TEST_F(EditorsTest, EscapeLeavesThePatchEditorOpenWithItsEdits) {
    TKorvidMain& w = openWithPedal();
    bool checked = false;
    whenShown<TEditPatch>([&](TEditPatch& patch) {
        whenShown<TEditPreset>([&](TEditPreset& preset) {
            type(preset.ActionValue, "10003");
            QTest::mouseClick(preset.OKButton, Qt::LeftButton);
        });
        clickRow(patch.AdvActionsStringGrid, 0);
        ASSERT_EQ(cell(patch.AdvActionsStringGrid, 0, 1), "10003");
        // From the table, which has the focus after a row was edited, and from the window.
        patch.AdvActionsStringGrid->setFocus();
        QTest::keyClick(patch.AdvActionsStringGrid, Qt::Key_Escape);
        press(&patch, Qt::Key_Escape);
        QApplication::processEvents();
        EXPECT_TRUE(patch.isVisible());
        EXPECT_EQ(cell(patch.AdvActionsStringGrid, 0, 1), "10003");
        checked = true;
        QTest::mouseClick(patch.OKButton, Qt::LeftButton);
    });
    w.InputEditButton->click();
    EXPECT_TRUE(checked);
    EXPECT_DOUBLE_EQ(model().InPort()->Map().Actions[0], 10003);
}

TEST_F(EditorsTest, ListItemsShowWholeAndALongCommentOpensAtItsStart) {
    const std::string comment =
        "Sustain pedal of the left foot switch, pressed once a bar to start and stop the clock";
    folder.write("indrv/Pedal.ini",
                 "[SPECIAL_COMMANDS]\nINPUT0=B240F5\nACTION0=10000.1\nCOMMENT0=" + comment + "\n");
    TKorvidMain& w = openWithPedal();
    bool checked = false;
    whenShown<TEditPatch>([&](TEditPatch& patch) {
        whenShown<TEditPreset>([&](TEditPreset& preset) {
            EXPECT_EQ(preset.CommentsEdit->text().toStdString(), comment);
            EXPECT_EQ(preset.CommentsEdit->cursorPosition(), 0);
            EXPECT_EQ(preset.Par2ComboBox->currentText(), "245=0xF5: {BPMMap +40}");
            EXPECT_EQ(preset.ActionComboBox->currentText(), "10000.1=Byte 1 Map (Ignores Byte 2)");
            // Every item is whole in its opened list and in its tooltip, and the closed box
            // tells its whole item when pointed at.
            for (QComboBox* box :
                 {preset.StatusComboBox, preset.ChannelComboBox, preset.Par1ComboBox,
                  preset.Par2ComboBox, preset.ActionComboBox}) {
                const QFontMetrics metrics(box->view()->font());
                for (int i = 0; i < box->count(); ++i) {
                    const QString item = box->itemText(i);
                    EXPECT_GT(box->view()->minimumWidth(), metrics.horizontalAdvance(item))
                        << item.toStdString();
                    EXPECT_EQ(box->itemData(i, Qt::ToolTipRole).toString(), item);
                }
                EXPECT_EQ(box->toolTip(), box->currentText());
            }
            // A pick in a list is told by the closed box too.
            pick(preset.Par2ComboBox, "250=0xFA: {BPMMap 00-3F *2}");
            EXPECT_EQ(preset.Par2ComboBox->toolTip(), "250=0xFA: {BPMMap 00-3F *2}");
            // Typing goes on where it is, at the end.
            preset.CommentsEdit->setFocus();
            preset.CommentsEdit->end(false);
            QTest::keyClicks(preset.CommentsEdit, "!");
            EXPECT_EQ(preset.CommentsEdit->text().toStdString(), comment + "!");
            checked = true;
            QTest::mouseClick(preset.OKButton, Qt::LeftButton);
        });
        clickRow(patch.AdvActionsStringGrid, 0);
        patch.close();
    });
    w.InputEditButton->click();
    EXPECT_TRUE(checked);
}

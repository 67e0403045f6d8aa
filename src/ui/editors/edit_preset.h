#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/preset_edit.h"

// The preset editor: one entry of an input map (input code, action, comment), with MIDI learn
// and PC keyboard learn. What the controls mean and do lives in PresetEditModel; this dialog
// shows the model and hands it what the user does. There is no cancel: the caller takes the
// values back however the dialog was closed.
class TEditPreset : public QDialog {
    Q_OBJECT

  public:
    explicit TEditPreset(QWidget* owner);
    ~TEditPreset() override;

    PresetEditModel& Model() { return model_; }
    // Shows the model in the controls; call after changing the model from outside.
    void ShowModel();

    QGroupBox* InputGroupBox;
    QLineEdit* EditValue;
    QComboBox* StatusComboBox;
    QComboBox* ChannelComboBox;
    QLabel* Par1Label;
    QComboBox* Par1ComboBox;
    QLabel* Par2Label;
    QComboBox* Par2ComboBox;
    QLineEdit* extract_edit;
    QGroupBox* ActionGroupBox;
    QLineEdit* ActionValue;
    QComboBox* ActionComboBox;
    QGroupBox* CommentsGroupBox;
    QLineEdit* CommentsEdit;
    QGroupBox* Learning;
    QCheckBox* HexSpy;
    QCheckBox* StatusFilter;
    QCheckBox* ChannelFilter;
    QCheckBox* MaskRange;
    QCheckBox* AutoEnter;
    QGroupBox* GroupBox1;
    QCheckBox* PCKeybLearnMode;
    QCheckBox* KeybAutoEnterHex;
    QLabel* KeyCodeLabel;
    QPushButton* OKButton;

  protected:
    // Key preview: the dialog sees every key before the focused control does.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

  private:
    void connectControls();
    void takeTexts();  // the line edits' texts into the model
    static void ShowList(QComboBox* box, const ListModel& list, uint64_t& shown);

    PresetEditModel model_;
    bool filtering_ = false;
    uint64_t shownStatus_ = 0, shownChannel_ = 0, shownPar1_ = 0, shownPar2_ = 0, shownAction_ = 0;
};

#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <functional>
#include <string>

#include "app/patch_edit.h"

class KorvidMainModel;
class MidiInPort;
class TEditPreset;

// The patch editor: the input map of the current input definition as a table, the function-key
// presets F5..F8 as a second one, and the clock-input switches. A click on a row edits it in a
// fresh preset editor; Store writes everything into the input port and its definition file,
// Save as into another file. Closing the window otherwise discards the changes.
class TEditPatch : public QDialog {
    Q_OBJECT

  public:
    struct Services {
        // A message box (caption, text); tests answer it without a dialog.
        std::function<void(const QString&, const QString&)> showMessage;
        // The save dialog: folder and file name to start with; the chosen path, or "" when the
        // user cancels.
        std::function<QString(const QString& folder, const QString& fileName)> askSavePath;
        // Called with every preset editor just before it is shown (tests drive it from here).
        std::function<void(TEditPreset&)> presetShown;
    };

    TEditPatch(QWidget* owner, Services services);

    // Fills the window from the port and the presets, and shows it modally; returns when the
    // window closes.
    void EditInputMap(KorvidMainModel& main, const QString& deviceTypeName, MidiInPort& port);
    // The same without waiting (tests, and the screenshots of the user guide).
    void Fill(KorvidMainModel& main, const QString& deviceTypeName, MidiInPort& port);

    PatchEditModel& Model() { return model_; }

    // The grids' click events: the row is edited in a preset editor.
    void AdvActionsStringGridClick(int row);
    void KeyActionsStringGridClick(int row);
    void OKButtonClick();
    void SaveAsButtonClick();

    QTabWidget* PageControl1;
    QWidget* AdvMap;
    QWidget* KeyMap;
    QTableWidget* AdvActionsStringGrid;
    QTableWidget* KeyActionsStringGrid;
    QCheckBox* MCLOCKINProcess;
    QCheckBox* MCLOCKINLock;
    QPushButton* SaveAsButton;
    QPushButton* OKButton;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Escape does not close the window: only the close box discards the table's edits, and
    // there is no Cancel button that Escape would stand for.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void showGrids();
    void runPreset(TEditPreset& preset, bool learns);
    // A stopped store or a failed write: the message, and the window stays open.
    bool report(const PatchEditModel::StoreResult& result);

    Services services_;
    PatchEditModel model_;
    KorvidMainModel* main_ = nullptr;
};

#include "ui/adapters/editor_launcher_qt.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {
constexpr const char* kOwnEditor = "tempovaneeditor";
}

EditorStart OpenWithDesktop(const QString& filePath) {
    EditorStart start{QDesktopServices::openUrl(QUrl::fromLocalFile(filePath)),
                      QString::fromLatin1(kDesktopOpener)};
    // Asked only after a failure: a desktop may open files some other way, and then nothing
    // is missing.
    if (!start.started)
        start.openerMissing =
            QStandardPaths::findExecutable(QString::fromLatin1(kDesktopOpener)).isEmpty();
    return start;
}

EditorStart StartEditorFor(const QString& programFolder, const QString& filePath) {
    const QString ownEditor = QDir(programFolder).filePath(kOwnEditor);
    const QFileInfo info(ownEditor);
    if (info.exists() && info.isExecutable()) {
        return {QProcess::startDetached(ownEditor, {filePath}), ownEditor};
    }
    // The desktop decides which editor opens the file (xdg-open and friends).
    return OpenWithDesktop(filePath);
}

#include "ui/adapters/editor_launcher_qt.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace {
constexpr const char* kOwnEditor = "tempovaneeditor";
}

EditorStart StartEditorFor(const QString& programFolder, const QString& filePath) {
    const QString ownEditor = QDir(programFolder).filePath(kOwnEditor);
    const QFileInfo info(ownEditor);
    if (info.exists() && info.isExecutable()) {
        return {QProcess::startDetached(ownEditor, {filePath}), ownEditor};
    }
    // The desktop decides which editor opens the file (xdg-open and friends).
    return {QDesktopServices::openUrl(QUrl::fromLocalFile(filePath)), QStringLiteral("xdg-open")};
}

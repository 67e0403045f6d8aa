#pragma once

#include <QString>

// Starting an external editor for a definition or settings file, without waiting for it.
// The path travels as one argument, so folders and files with spaces arrive whole.
struct EditorStart {
    bool started = false;
    QString editor;  // what was started (or tried): the program, or "xdg-open" for the desktop
};

// Our own definition editor ("tempovaneeditor" in programFolder) when it is there, else the
// desktop's editor for the file.
EditorStart StartEditorFor(const QString& programFolder, const QString& filePath);

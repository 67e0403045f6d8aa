#pragma once

#include <QString>

// Starting an external editor for a definition or settings file, without waiting for it.
// The path travels as one argument, so folders and files with spaces arrive whole.
struct EditorStart {
    bool started = false;
    QString editor;  // what was started (or tried): the program, or "xdg-open" for the desktop
    // The desktop could not open the file and xdg-open, through which it does, is not
    // installed: what to tell the user is then what is missing, not that it failed.
    bool openerMissing = false;
};

// Our own definition editor ("tempovaneeditor" in programFolder) when it is there, else the
// desktop's editor for the file.
EditorStart StartEditorFor(const QString& programFolder, const QString& filePath);

// Opens a file in the desktop's program for its type (the user guide in a viewer).
EditorStart OpenWithDesktop(const QString& filePath);

// The program the desktop opens files with, and the package that brings it.
inline constexpr const char* kDesktopOpener = "xdg-open";
inline constexpr const char* kDesktopOpenerPackage = "xdg-utils";

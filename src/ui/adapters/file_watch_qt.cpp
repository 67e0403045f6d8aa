#include "ui/adapters/file_watch_qt.h"

#include <sys/stat.h>

#include <QFileInfo>

FileWatchQt::FileWatchQt(QObject* parent, int settleMs) : QObject(parent) {
    settle_.setSingleShot(true);
    settle_.setInterval(settleMs);
    connect(&settle_, &QTimer::timeout, this, &FileWatchQt::settled);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &FileWatchQt::somethingMoved);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &FileWatchQt::somethingMoved);
}

FileWatchQt::Signature FileWatchQt::Read(const std::string& path) {
    Signature s;
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return s;
    s.exists = true;
    s.device = static_cast<uint64_t>(info.st_dev);
    s.inode = static_cast<uint64_t>(info.st_ino);
    s.size = static_cast<int64_t>(info.st_size);
    s.modifiedNs = int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
    s.changedNs = int64_t{info.st_ctim.tv_sec} * 1'000'000'000 + info.st_ctim.tv_nsec;
    return s;
}

void FileWatchQt::SetFileName(const std::string& path) {
    if (path == path_) return;
    const bool active = active_;
    if (active) Stop();
    path_ = path;
    if (active) Start();
}

void FileWatchQt::Start() {
    active_ = true;
    seen_ = Read(path_);
    watchAgain();
}

void FileWatchQt::Stop() {
    active_ = false;
    settle_.stop();
    const QStringList watched = watcher_.files() + watcher_.directories();
    if (!watched.isEmpty()) watcher_.removePaths(watched);
}

void FileWatchQt::watchAgain() {
    if (!active_ || path_.empty()) return;
    const QFileInfo file(QString::fromStdString(path_));
    const QString filePath = file.absoluteFilePath();
    const QString folder = file.absolutePath();
    if (!watcher_.directories().contains(folder) && QFileInfo(folder).isDir())
        watcher_.addPath(folder);
    if (!watcher_.files().contains(filePath) && file.exists()) watcher_.addPath(filePath);
}

void FileWatchQt::somethingMoved() {
    if (!active_) return;
    // A file renamed over ours is a new file: watch it before anything else is written there.
    watchAgain();
    settle_.start();  // restarts: a burst ends only once the file is quiet
}

void FileWatchQt::settled() {
    if (!active_) return;
    watchAgain();
    const Signature now = Read(path_);
    if (now == seen_) return;
    seen_ = now;
    if (!now.exists) return;  // gone: nothing to import, and nothing changes
    ++reports_;
    if (OnChanged) OnChanged();
}

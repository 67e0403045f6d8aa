#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <string>

#include "app/patch_selection.h"

// FileWatch on QFileSystemWatcher. Most editors save by writing a new file and renaming it
// over the old one, which ends a plain watch on the file; so the folder is watched too and the
// file is watched again whenever it is back. A burst of writes (an editor's temporary file,
// rename, permission change) is one change: the report comes once the file has been quiet for
// the settle time, and only when the file differs from what was last seen (inode, size,
// modification and change times), so a write elsewhere in the folder reports nothing. A file
// that has disappeared reports nothing either; when it comes back, that is a change.
class FileWatchQt : public QObject, public FileWatch {
    Q_OBJECT

  public:
    explicit FileWatchQt(QObject* parent = nullptr, int settleMs = 150);

    void SetFileName(const std::string& path) override;
    std::string FileName() const override { return path_; }
    void Start() override;
    void Stop() override;
    bool Active() const override { return active_; }

    // Changes reported so far (for the curious; tests count imports with it).
    int Reports() const { return reports_; }

  private:
    struct Signature {
        bool exists = false;
        uint64_t device = 0, inode = 0;
        int64_t size = 0;
        int64_t modifiedNs = 0, changedNs = 0;
        bool operator==(const Signature&) const = default;
    };
    static Signature Read(const std::string& path);
    void watchAgain();
    void somethingMoved();
    void settled();

    QFileSystemWatcher watcher_;
    QTimer settle_;
    std::string path_;
    bool active_ = false;
    Signature seen_;
    int reports_ = 0;
};

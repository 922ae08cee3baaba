#pragma once
// The disk as SQLite sees it, with faults put in on demand: a full disk
// (every write fails as it does when the disk has no room left), and file
// modes honoured as they are for a user who is not root (a database file
// without write permission opens read-only). Tests run as root in CI, where
// a file made read-only with chmod would stop nothing.
//
// install() makes it SQLite's default file system; connections opened after
// that go through it. With no fault set it only passes calls on.
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>

namespace testsupport {

class FaultyDisk {
public:
    static FaultyDisk& install() {
        static FaultyDisk* disk = [] {
            auto* d = new FaultyDisk();
            d->real_ = sqlite3_vfs_find(nullptr);
            d->vfs_.iVersion = 2;
            d->vfs_.szOsFile = static_cast<int>(sizeof(File)) + d->real_->szOsFile;
            d->vfs_.mxPathname = d->real_->mxPathname;
            d->vfs_.zName = "faulty-disk";
            d->vfs_.pAppData = d;
            d->vfs_.xOpen = &FaultyDisk::open;
            d->vfs_.xDelete = [](sqlite3_vfs* v, const char* n, int s) { return real(v)->xDelete(real(v), n, s); };
            d->vfs_.xAccess = [](sqlite3_vfs* v, const char* n, int f, int* o) {
                return real(v)->xAccess(real(v), n, f, o);
            };
            d->vfs_.xFullPathname = [](sqlite3_vfs* v, const char* n, int s, char* o) {
                return real(v)->xFullPathname(real(v), n, s, o);
            };
            d->vfs_.xDlOpen = [](sqlite3_vfs* v, const char* n) { return real(v)->xDlOpen(real(v), n); };
            d->vfs_.xDlError = [](sqlite3_vfs* v, int n, char* m) { real(v)->xDlError(real(v), n, m); };
            d->vfs_.xDlSym = [](sqlite3_vfs* v, void* h, const char* s) { return real(v)->xDlSym(real(v), h, s); };
            d->vfs_.xDlClose = [](sqlite3_vfs* v, void* h) { real(v)->xDlClose(real(v), h); };
            d->vfs_.xRandomness = [](sqlite3_vfs* v, int n, char* o) { return real(v)->xRandomness(real(v), n, o); };
            d->vfs_.xSleep = [](sqlite3_vfs* v, int us) { return real(v)->xSleep(real(v), us); };
            d->vfs_.xCurrentTime = [](sqlite3_vfs* v, double* t) { return real(v)->xCurrentTime(real(v), t); };
            d->vfs_.xGetLastError = [](sqlite3_vfs* v, int n, char* m) { return real(v)->xGetLastError(real(v), n, m); };
            d->vfs_.xCurrentTimeInt64 = [](sqlite3_vfs* v, sqlite3_int64* t) {
                return real(v)->xCurrentTimeInt64(real(v), t);
            };
            sqlite3_vfs_register(&d->vfs_, 1);
            return d;
        }();
        return *disk;
    }

    void setFull(bool full) { full_ = full; }
    void setHonoursFileModes(bool honours) { modes_ = honours; }

private:
    struct File {
        sqlite3_file base;
        sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
    };
    static FaultyDisk* self(sqlite3_vfs* v) { return static_cast<FaultyDisk*>(v->pAppData); }
    static sqlite3_vfs* real(sqlite3_vfs* v) { return self(v)->real_; }
    static sqlite3_file* inner(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real(); }
    static FaultyDisk& disk() { return install(); }

    static int open(sqlite3_vfs* v, const char* name, sqlite3_file* file, int flags, int* outFlags) {
        auto* f = reinterpret_cast<File*>(file);
        f->base.pMethods = nullptr;
        struct stat st {};
        if (self(v)->modes_ && name && (flags & SQLITE_OPEN_MAIN_DB) && (flags & SQLITE_OPEN_READWRITE) &&
            ::stat(name, &st) == 0 && !(st.st_mode & S_IWUSR))
            flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
        int rc = real(v)->xOpen(real(v), name, f->real(), flags, outFlags);
        if (f->real()->pMethods) f->base.pMethods = methods();
        return rc;
    }

    static const sqlite3_io_methods* methods() {
        static const sqlite3_io_methods m = [] {
            sqlite3_io_methods io{};
            io.iVersion = 3;
            io.xClose = [](sqlite3_file* f) {
                int rc = inner(f)->pMethods->xClose(inner(f));
                f->pMethods = nullptr;
                return rc;
            };
            io.xRead = [](sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
                return inner(f)->pMethods->xRead(inner(f), b, n, o);
            };
            io.xWrite = [](sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
                if (disk().full_) return SQLITE_FULL;
                return inner(f)->pMethods->xWrite(inner(f), b, n, o);
            };
            io.xTruncate = [](sqlite3_file* f, sqlite3_int64 s) { return inner(f)->pMethods->xTruncate(inner(f), s); };
            io.xSync = [](sqlite3_file* f, int fl) { return inner(f)->pMethods->xSync(inner(f), fl); };
            io.xFileSize = [](sqlite3_file* f, sqlite3_int64* s) { return inner(f)->pMethods->xFileSize(inner(f), s); };
            io.xLock = [](sqlite3_file* f, int l) { return inner(f)->pMethods->xLock(inner(f), l); };
            io.xUnlock = [](sqlite3_file* f, int l) { return inner(f)->pMethods->xUnlock(inner(f), l); };
            io.xCheckReservedLock = [](sqlite3_file* f, int* r) {
                return inner(f)->pMethods->xCheckReservedLock(inner(f), r);
            };
            io.xFileControl = [](sqlite3_file* f, int op, void* a) {
                return inner(f)->pMethods->xFileControl(inner(f), op, a);
            };
            io.xSectorSize = [](sqlite3_file* f) { return inner(f)->pMethods->xSectorSize(inner(f)); };
            io.xDeviceCharacteristics = [](sqlite3_file* f) {
                return inner(f)->pMethods->xDeviceCharacteristics(inner(f));
            };
            io.xShmMap = [](sqlite3_file* f, int p, int s, int e, void volatile** o) {
                return inner(f)->pMethods->xShmMap(inner(f), p, s, e, o);
            };
            io.xShmLock = [](sqlite3_file* f, int o, int n, int fl) {
                return inner(f)->pMethods->xShmLock(inner(f), o, n, fl);
            };
            io.xShmBarrier = [](sqlite3_file* f) { inner(f)->pMethods->xShmBarrier(inner(f)); };
            io.xShmUnmap = [](sqlite3_file* f, int d) { return inner(f)->pMethods->xShmUnmap(inner(f), d); };
            // No memory-mapped pages: every write goes through xWrite.
            io.xFetch = [](sqlite3_file*, sqlite3_int64, int, void** p) {
                *p = nullptr;
                return SQLITE_OK;
            };
            io.xUnfetch = [](sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; };
            return io;
        }();
        return &m;
    }

    sqlite3_vfs vfs_{};
    sqlite3_vfs* real_ = nullptr;
    std::atomic<bool> full_{false};
    std::atomic<bool> modes_{false};
};

}  // namespace testsupport

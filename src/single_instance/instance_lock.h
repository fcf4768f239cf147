// The per-user proof that this process is the running instance: an
// exclusive flock on a small lock file holding the holder's process id,
// held for as long as the object lives. Owned by SingleInstanceController.
#pragma once

#include <QString>
#include <memory>
#include <stdexcept>
#include <system_error>

class InstanceLockError : public std::exception {
public:
    enum class Kind { openFailed, lockFailed, alreadyRunning };

    static InstanceLockError openFailed(int error) { return {Kind::openFailed, error}; }
    static InstanceLockError lockFailed(int error) { return {Kind::lockFailed, error}; }
    static InstanceLockError alreadyRunning() { return {Kind::alreadyRunning, 0}; }

    Kind kind() const { return kind_; }
    int error() const { return errno_; } // 0 for alreadyRunning
    const char *what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const InstanceLockError &a, const InstanceLockError &b)
    {
        return a.kind_ == b.kind_ && a.errno_ == b.errno_;
    }

private:
    InstanceLockError(Kind kind, int error);
    Kind kind_;
    int errno_;
    std::string text_;
};

// The lock directory could not be created; carries errno and the path.
class DirectoryCreationError : public std::system_error {
public:
    DirectoryCreationError(int error, const QString &path)
        : std::system_error(error, std::generic_category(),
                            "cannot create the folder " + path.toStdString())
    {
    }
};

class InstanceLock {
public:
    // Throws DirectoryCreationError or InstanceLockError.
    static std::unique_ptr<InstanceLock> acquire(const QString &lockPath);
    ~InstanceLock(); // releases the lock; the file and its content stay

    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    const QString &lockURL() const { return lockURL_; }

private:
    InstanceLock(int fileDescriptor, const QString &lockURL);
    void recordProcessIdentifier();

    const int fileDescriptor_;
    const QString lockURL_;
};

// mkdir -p where every folder it makes is the user's alone (0700, whatever
// the umask), and path itself must be a folder, not a link to one; throws
// DirectoryCreationError.
void createPrivateDirectory(const QString &path);

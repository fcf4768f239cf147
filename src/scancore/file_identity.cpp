#include "file_identity.h"

#include <sys/stat.h>

std::optional<FileIdentity> fileIdentityOf(const char *path, bool followLink)
{
    struct stat st;
    if ((followLink ? stat(path, &st) : lstat(path, &st)) != 0)
        return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

#include "file_url.h"

#include <QStringList>
#include <QVarLengthArray>

FileUrl FileUrl::fromPath(const QString &path, bool isDirectory)
{
    FileUrl url;
    url.last_ = path;
    url.isDirectory_ = isDirectory || (path.size() > 1 && path.endsWith(u'/')) || path == u"/";
    return url;
}

QString FileUrl::rawPath() const
{
    if (!parent_)
        return last_;
    QVarLengthArray<const QString *, 32> parts;
    qsizetype length = last_.size();
    for (const Node *n = parent_.get(); n; n = n->parent.get()) {
        parts.append(&n->component);
        length += n->component.size() + 1;
    }
    QString out;
    out.reserve(length);
    for (qsizetype i = parts.size() - 1; i >= 0; --i) {
        out += *parts[i];
        if (!out.endsWith(u'/'))
            out += u'/';
    }
    out += last_;
    return out;
}

QString FileUrl::path() const
{
    QString p = rawPath();
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    return p;
}

QString FileUrl::lastPathComponent() const
{
    if (parent_)
        return last_;
    const QString p = path();
    if (p == u"/")
        return p;
    return p.mid(p.lastIndexOf(u'/') + 1);
}

FileUrl FileUrl::standardized() const
{
    if (parent_ || last_.isEmpty())
        return *this; // appended components never hold "/", "." or ".."
    const bool absolute = last_.startsWith(u'/');
    const bool trailing = last_.size() > 1 && last_.endsWith(u'/');
    QStringList parts;
    for (const QString &part : last_.split(u'/', Qt::SkipEmptyParts)) {
        if (part == u".")
            continue;
        if (part == u"..") {
            if (!parts.isEmpty() && parts.last() != u"..")
                parts.removeLast();
            else if (!absolute)
                parts.append(part);
            continue;
        }
        parts.append(part);
    }
    QString out = (absolute ? QStringLiteral("/") : QString()) + parts.join(u'/');
    if (trailing && !parts.isEmpty())
        out += u'/';
    if (out == last_)
        return *this;
    return fromPath(out, isDirectory_);
}

FileUrl::Folder FileUrl::asFolder() const
{
    return std::make_shared<const Node>(Node{parent_, last_});
}

FileUrl FileUrl::child(const Folder &folder, const QString &component, bool isDirectory)
{
    FileUrl url;
    url.parent_ = folder;
    url.last_ = component;
    url.isDirectory_ = isDirectory;
    return url;
}

FileUrl FileUrl::appending(const QString &component, bool isDirectory) const
{
    return child(asFolder(), component, isDirectory);
}

#include "file_url.h"

#include <QList>
#include <QVarLengthArray>
#include <algorithm>

bool isValidUtf8(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        char32_t min, cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= extra)
            return false;
        for (int k = 1; k <= extra; ++k) {
            if ((p[k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += extra + 1;
    }
    return true;
}

namespace {

// Control characters as the Unicode pictures of them (a newline as U+2424,
// ESC as U+241B): a name never recolours a terminal or cuts a line short.
bool showControlCharacters(QString &text)
{
    bool changed = false;
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7f) {
            c = QChar(u == 0x7f ? char16_t(0x2421) : char16_t(u == '\n' ? 0x2424 : 0x2400 + u));
            changed = true;
        }
    }
    return changed;
}

} // namespace

QString displayTextOf(QByteArrayView bytes, QByteArray *rawIfInvalid)
{
    // UTF-8 writes a control character as its one byte, and no other
    // character with such a byte: the bytes tell whether there is one.
    uchar high = 0;
    bool control = false;
    for (const char c : bytes) {
        high |= uchar(c) & 0x80;
        control |= uchar(c) < 0x20 || uchar(c) == 0x7f;
    }
    const bool ascii = high == 0;
    bool exact = ascii || isValidUtf8(bytes);
    // stateless: a cut sequence is repaired, not dropped
    QString text = ascii ? QString::fromLatin1(bytes) : QString::fromUtf8(bytes);
    if (control && showControlCharacters(text))
        exact = false;
    if (!exact && rawIfInvalid)
        *rawIfInvalid = bytes.toByteArray();
    return text;
}

QStringView displayTextOf(QByteArrayView bytes, QString &scratch)
{
    for (const char c : bytes)
        if (uchar(c) < 0x20 || uchar(c) >= 0x7f)
            return scratch = displayTextOf(bytes, nullptr);
    scratch.resize(bytes.size());
    char16_t *to = reinterpret_cast<char16_t *>(scratch.data());
    for (const char c : bytes)
        *to++ = char16_t(c);
    return scratch;
}

FileUrl FileUrl::fromPath(const QString &path, bool isDirectory)
{
    FileUrl url;
    url.last_ = path;
    url.isDirectory_ = isDirectory || (path.size() > 1 && path.endsWith(u'/')) || path == u"/";
    return url;
}

FileUrl FileUrl::fromNativePath(const QByteArray &path, bool isDirectory)
{
    FileUrl url;
    url.last_ = displayTextOf(path, &url.rawLast_);
    url.isDirectory_ = isDirectory || (path.size() > 1 && path.endsWith('/')) || path == "/";
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

void FileUrl::nativePieces(QList<QByteArrayView> &pieces, QByteArray &scratch) const
{
    pieces.clear();
    scratch = rawLast_.isEmpty() ? last_.toUtf8() : rawLast_;
    QByteArrayView last(scratch);
    if (!parent_) {
        while (last.size() > 1 && last.endsWith('/'))
            last.chop(1);
        pieces.append(last);
        return;
    }
    for (const Node *n = parent_.get(); n; n = n->parent.get())
        pieces.append(QByteArrayView(n->bytes));
    std::reverse(pieces.begin(), pieces.end());
    pieces.append(last);
}

QByteArray FileUrl::nativePath() const
{
    if (!parent_)
        return rawLast_.isEmpty() ? last_.toUtf8() : rawLast_;
    QList<QByteArrayView> pieces;
    QByteArray scratch;
    nativePieces(pieces, scratch);
    qsizetype length = 0;
    for (const QByteArrayView &p : pieces)
        length += p.size() + 1;
    QByteArray out;
    out.reserve(length);
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0 && !out.endsWith('/'))
            out += '/';
        out += pieces[i];
    }
    return out;
}

QString FileUrl::path() const
{
    QString p = rawPath();
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    return p;
}

QByteArray FileUrl::nativeFilePath() const
{
    QByteArray p = nativePath();
    while (p.size() > 1 && p.endsWith('/'))
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

QByteArray FileUrl::nativeLastPathComponent() const
{
    if (parent_)
        return rawLast_.isEmpty() ? last_.toUtf8() : rawLast_;
    const QByteArray p = nativeFilePath();
    if (p == "/")
        return p;
    return p.mid(p.lastIndexOf('/') + 1);
}

FileUrl FileUrl::standardized() const
{
    if (parent_ || last_.isEmpty())
        return *this; // appended components never hold "/", "." or ".."
    // On the bytes: the same as on the text for a valid path, and exact for
    // one that is not.
    const QByteArray whole = rawLast_.isEmpty() ? last_.toUtf8() : rawLast_;
    const bool absolute = whole.startsWith('/');
    const bool trailing = whole.size() > 1 && whole.endsWith('/');
    QList<QByteArray> parts;
    for (const QByteArray &part : whole.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.isEmpty() && parts.last() != "..")
                parts.removeLast();
            else if (!absolute)
                parts.append(part);
            continue;
        }
        parts.append(part);
    }
    QByteArray out = (absolute ? QByteArray("/") : QByteArray()) + parts.join('/');
    if (trailing && !parts.isEmpty())
        out += '/';
    if (out == whole)
        return *this;
    return fromNativePath(out, isDirectory_);
}

FileUrl::Node::~Node()
{
    Folder up = std::move(parent);
    while (up && up.use_count() == 1) {
        Folder next = std::move(up->parent);
        up = std::move(next); // frees the last holder's node, whose parent is already gone
    }
}

FileUrl::Folder FileUrl::asFolder() const
{
    return std::make_shared<const Node>(
        Node{parent_, last_, rawLast_.isEmpty() ? last_.toUtf8() : rawLast_, !rawLast_.isEmpty()});
}

FileUrl FileUrl::child(const Folder &folder, const QString &component, bool isDirectory)
{
    return child(folder, component, QByteArray(), isDirectory);
}

FileUrl FileUrl::child(const Folder &folder, const QString &component, const QByteArray &raw,
                       bool isDirectory)
{
    FileUrl url;
    url.parent_ = folder;
    url.last_ = component;
    url.rawLast_ = raw;
    url.isDirectory_ = isDirectory;
    return url;
}

FileUrl FileUrl::appending(const QString &component, bool isDirectory) const
{
    return child(asFolder(), component, isDirectory);
}


#include "scan_file.h"

#include <QDateTime>
#include <charconv>
#include <cstring>
#include <vector>

#ifndef BL_VERSION
#define BL_VERSION "0"
#endif

namespace {

// Names as ncdu writes them: the bytes as they are, with what JSON cannot
// hold literally escaped.
void appendString(QByteArray &out, QByteArrayView bytes)
{
    out += '"';
    const auto plain = [](unsigned char c) { return c >= 0x20 && c != '"' && c != '\\' && c != 0x7f; };
    for (qsizetype at = 0; at < bytes.size();) {
        qsizetype end = at;
        while (end < bytes.size() && plain(static_cast<unsigned char>(bytes[end])))
            ++end;
        out.append(bytes.data() + at, end - at); // runs of plain bytes in one go
        if (end == bytes.size())
            break;
        const auto c = static_cast<unsigned char>(bytes[end]);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\f': out += "\\f"; break;
        default: {
            static const char hex[] = "0123456789abcdef";
            const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            out.append(escaped, sizeof escaped);
        }
        }
        at = end + 1;
    }
    out += '"';
}

// ,"key":value without an allocation: ten million entries write three each.
template <size_t N>
void appendNumber(QByteArray &out, const char (&key)[N], qint64 value)
{
    char text[N + 32] = {',', '"'};
    std::memcpy(text + 2, key, N - 1);
    char *at = text + N + 1;
    *at++ = '"';
    *at++ = ':';
    at = std::to_chars(at, text + sizeof text, value).ptr;
    out.append(text, at - text);
}

// The INFO object of r, named name; true when r is written as a directory array.
bool appendInfo(QByteArray &out, const ScanTree::NodeRef &r, QByteArrayView name)
{
    const bool isDirectory = r.kind() != ScanNodeKind::file;
    // ncdu writes a folder left out by a pattern as a plain object; as an
    // array it reads back as the folder it is, and ncdu reads it too.
    const bool asArray = isDirectory;
    if (asArray)
        out += '[';
    out += "{\"name\":";
    appendString(out, name);
    // A folder's own size is not what it holds: only files and packages
    // carry sizes.
    if (r.kind() != ScanNodeKind::directory && !r.isSpecial()) {
        if (r.logicalSize() > 0)
            appendNumber(out, "asize", r.logicalSize());
        if (r.allocatedSize() > 0)
            appendNumber(out, "dsize", r.allocatedSize());
    }
    if (r.isSpecial())
        out += ",\"notreg\":true";
    if (const qint64 modified = r.modifiedAt())
        appendNumber(out, "mtime", modified); // as ncdu -e writes it
    if (const quint32 links = r.linkCount(); links > 1) {
        if (const auto identity = r.linkedFile()) {
            appendNumber(out, "dev", qint64(identity->device));
            appendNumber(out, "ino", qint64(identity->inode));
        }
        appendNumber(out, "nlink", links);
        out += ",\"hlnkc\":true";
    }
    if (const char *excluded = scanFileExclusionKey(r.mark())) {
        out += ",\"excluded\":\"";
        out += excluded;
        out += '"';
    } else if (r.mark() == ScanNodeMark::unreadable) {
        out += ",\"read_error\":true";
    }
    out += '}';
    return asArray;
}

} // namespace

bool writeScanFile(const ScanTree &tree, const ScanSummary &summary, QIODevice &out, QString *error)
{
    QByteArray buffer;
    constexpr qsizetype kFlushAt = 1 << 20;
    buffer.reserve(kFlushAt + 4096);
    const auto flush = [&] {
        if (!buffer.isEmpty() && out.write(buffer) != buffer.size()) {
            if (error)
                *error = out.errorString();
            return false;
        }
        buffer.clear();
        return true;
    };
    const ScanTree::NodeRef root = tree.ref(tree.rootID);
    if (!root.isValid()) {
        if (error)
            *error = QStringLiteral("the tree has no root");
        return false;
    }
    const QDateTime when = summary.finishedAt.isValid() ? summary.finishedAt : QDateTime::currentDateTimeUtc();
    buffer += "[1,2,{\"progname\":\"burrowlens\",\"progver\":\"" BL_VERSION "\",\"timestamp\":";
    buffer += QByteArray::number(when.toSecsSinceEpoch());
    buffer += "},\n";

    // Depth first with a stack of child lists, so any depth is walked in
    // constant stack space; a folder's array stays open while its children
    // are written. Names come from the tree's columns: no record is made.
    struct Frame {
        QList<ScanTree::NodeRef> children;
        qsizetype next = 0;
    };
    std::vector<Frame> stack;
    QByteArray scratch;
    const auto enter = [&](const ScanTree::NodeRef &r, QByteArrayView name) {
        if (!appendInfo(buffer, r, name))
            return;
        const bool walked = r.kind() == ScanNodeKind::directory &&
                            (r.mark() == ScanNodeMark::none || r.mark() == ScanNodeMark::unreadable);
        if (walked)
            stack.push_back({r.children(), 0});
        else
            buffer += ']';
    };
    enter(root, root.record().url.nativeFilePath());
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next == top.children.size()) {
            buffer += ']';
            stack.pop_back();
            continue;
        }
        const ScanTree::NodeRef child = top.children[top.next++];
        buffer += ",\n";
        enter(child, child.nativeName(scratch));
        if (buffer.size() >= kFlushAt && !flush())
            return false;
    }
    buffer += "]\n";
    return flush();
}


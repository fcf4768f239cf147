#include "scan_file.h"

#include <QDateTime>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#ifndef BL_VERSION
#define BL_VERSION "0"
#endif

namespace {

// Bytes JSON can hold as they are inside a string.
bool plainByte(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\' && c != 0x7f; }

// Names as ncdu writes them: the bytes as they are, with what JSON cannot
// hold literally escaped.
void appendString(QByteArray &out, QByteArrayView bytes)
{
    out += '"';
    for (qsizetype at = 0; at < bytes.size();) {
        qsizetype end = at;
        while (end < bytes.size() && plainByte(static_cast<unsigned char>(bytes[end])))
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

// One entry's text assembled on the stack and appended once: ten million
// entries would otherwise make a dozen appends each.
class EntryText {
public:
    EntryText() = default;
    EntryText(const EntryText &) = delete;
    EntryText &operator=(const EntryText &) = delete;

    void put(std::string_view text)
    {
        std::memcpy(at_, text.data(), text.size());
        at_ += text.size();
    }
    // ,"key":value
    void number(std::string_view key, qint64 value)
    {
        put(key);
        at_ = std::to_chars(at_, end(), value).ptr;
    }
    // The name between quotes; false when it must be escaped.
    bool plainName(QByteArrayView name)
    {
        for (const char c : name)
            if (!plainByte(static_cast<unsigned char>(c)))
                return false;
        *at_++ = '"';
        put(std::string_view(name.data(), size_t(name.size())));
        *at_++ = '"';
        return true;
    }
    // Hands what is assembled to out and starts again.
    void appendTo(QByteArray &out)
    {
        out.append(text_, at_ - text_);
        at_ = text_;
    }

private:
    char *end() { return text_ + sizeof text_; }
    // A name of at most 255 bytes (longer ones are escaped apart) and the
    // longest run of fields, with room to spare.
    char text_[768];
    char *at_ = text_;
};

// The INFO object of r, named name, after ",\n" when it follows its
// folder's or a sibling's; true when r is written as a directory array.
bool appendInfo(QByteArray &out, const ScanTree::NodeRef &r, QByteArrayView name, bool afterComma)
{
    const ScanNodeKind kind = r.kind();
    // ncdu writes a folder left out by a pattern as a plain object; as an
    // array it reads back as the folder it is, and ncdu reads it too.
    const bool asArray = kind != ScanNodeKind::file;
    EntryText text;
    if (afterComma)
        text.put(",\n");
    text.put(asArray ? "[{\"name\":" : "{\"name\":");
    if (name.size() > 255 || !text.plainName(name)) {
        text.appendTo(out);
        appendString(out, name);
    }
    // A folder's own size is not what it holds: only files and packages
    // carry sizes.
    const bool special = r.isSpecial();
    if (kind != ScanNodeKind::directory && !special) {
        if (const qint64 logical = r.logicalSize(); logical > 0)
            text.number(",\"asize\":", logical);
        if (const qint64 allocated = r.allocatedSize(); allocated > 0)
            text.number(",\"dsize\":", allocated);
    }
    if (special)
        text.put(",\"notreg\":true");
    if (const qint64 modified = r.modifiedAt())
        text.number(",\"mtime\":", modified); // as ncdu -e writes it
    if (const quint32 links = r.linkCount(); links > 1) {
        if (const auto identity = r.linkedFile()) {
            text.number(",\"dev\":", qint64(identity->device));
            text.number(",\"ino\":", qint64(identity->inode));
        }
        text.number(",\"nlink\":", links);
        text.put(",\"hlnkc\":true");
    }
    if (const char *excluded = scanFileExclusionKey(r.mark())) {
        text.put(",\"excluded\":\"");
        text.put(excluded);
        text.put("\"");
    } else if (r.mark() == ScanNodeMark::unreadable) {
        text.put(",\"read_error\":true");
    }
    text.put("}");
    text.appendTo(out);
    return asArray;
}

} // namespace

namespace {

constexpr qsizetype kChunk = 1 << 20;

// The export's text a chunk at a time: handOut(chunk) takes each one, leaving
// chunk empty (and with room, where it can), and says whether to go on.
template <typename Out>
bool formatScanFile(const ScanTree::NodeRef &root, const ScanSummary &summary, Out handOut)
{
    QByteArray buffer;
    buffer.reserve(kChunk + 4096);
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
    const auto enter = [&](const ScanTree::NodeRef &r, QByteArrayView name, bool afterComma) {
        if (!appendInfo(buffer, r, name, afterComma))
            return;
        const bool walked = r.kind() == ScanNodeKind::directory &&
                            (r.mark() == ScanNodeMark::none || r.mark() == ScanNodeMark::unreadable);
        if (walked)
            stack.push_back({r.children(), 0});
        else
            buffer += ']';
    };
    enter(root, root.record().url.nativeFilePath(), false);
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next == top.children.size()) {
            buffer += ']';
            stack.pop_back();
            continue;
        }
        const ScanTree::NodeRef child = top.children[top.next++];
        enter(child, child.nativeName(scratch), true);
        if (buffer.size() >= kChunk && !handOut(buffer))
            return false;
    }
    buffer += "]\n";
    return handOut(buffer);
}

// Chunks from a formatting thread to the writing one, two at most in
// between; the writer's empty ones go back to be filled again.
class Chunks {
public:
    // The formatter's: false once the writer has given up.
    bool hand(QByteArray &chunk)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return full_.size() < 2 || cancelled_; });
        if (cancelled_)
            return false;
        full_.push_back(std::move(chunk));
        chunk = QByteArray();
        if (!empty_.empty()) {
            chunk = std::move(empty_.back());
            empty_.pop_back();
        }
        changed_.notify_all();
        return true;
    }
    void close()
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    // The writer's: nothing once the formatter has closed and all is taken.
    std::optional<QByteArray> take()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !full_.empty() || closed_; });
        if (full_.empty())
            return std::nullopt;
        QByteArray chunk = std::move(full_.front());
        full_.pop_front();
        changed_.notify_all();
        return chunk;
    }
    void giveBack(QByteArray &&chunk)
    {
        chunk.resize(0);
        std::lock_guard lock(mutex_);
        empty_.push_back(std::move(chunk));
    }
    void cancel()
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<QByteArray> full_;
    std::vector<QByteArray> empty_;
    bool closed_ = false, cancelled_ = false;
};

} // namespace

bool writeScanFile(const ScanTree &tree, const ScanSummary &summary, QIODevice &out, QString *error)
{
    const ScanTree::NodeRef root = tree.ref(tree.rootID);
    if (!root.isValid()) {
        if (error)
            *error = QStringLiteral("the tree has no root");
        return false;
    }
    // The device is only ever written from here, the caller's thread.
    const auto write = [&](const QByteArray &chunk) {
        if (!chunk.isEmpty() && out.write(chunk) != chunk.size()) {
            if (error)
                *error = out.errorString();
            return false;
        }
        return true;
    };
    const auto inTurn = [&](QByteArray &chunk) {
        const bool written = write(chunk);
        chunk.resize(0);
        return written;
    };
    // A large tree is formatted on a thread of its own while this one waits
    // for the system to take each chunk: writing is most of an export's time.
    constexpr qsizetype kFormatAside = 200000;
    if (tree.size() < kFormatAside)
        return formatScanFile(root, summary, inTurn);
    Chunks chunks;
    bool formatted = false;
    std::optional<std::thread> formatter;
    try {
        formatter.emplace([&] {
            try {
                formatted = formatScanFile(root, summary, [&](QByteArray &chunk) { return chunks.hand(chunk); });
            } catch (const std::bad_alloc &) {
            }
            chunks.close();
        });
    } catch (const std::system_error &) {
        return formatScanFile(root, summary, inTurn);
    }
    bool written = true;
    while (std::optional<QByteArray> chunk = chunks.take()) {
        if (written && !write(*chunk)) {
            written = false;
            chunks.cancel();
        }
        chunks.giveBack(std::move(*chunk));
    }
    formatter->join();
    if (written && !formatted && error)
        *error = QStringLiteral("there was not enough memory to write the scan");
    return written && formatted;
}

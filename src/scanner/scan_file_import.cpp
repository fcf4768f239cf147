#include "scan_file.h"

#include "bl_scan_internal.h"
#include "hard_links.h"
#include "path_identifiers.h"
#include "stable_scan_node_id.h"
#include "two_threads.h"

#include <QTimeZone>
#include <algorithm>
#include <cstring>
#include <zstd.h>
#include <vector>

namespace {

// A JSON reader for exports: iterative, so that no nesting can exhaust the
// stack, and strict about what it keeps, lenient about what it skips. It
// reads a mapped file where it lies and a stream through a window of its
// own, so that what arrives on a pipe costs the tree it makes, not its bytes.
class Reader {
public:
    explicit Reader(QByteArrayView data) : p_(data.data()), end_(data.data() + data.size()), begin_(data.data()) {}
    explicit Reader(ScanFileSource &source) : source_(&source), window_(kWindow)
    {
        p_ = end_ = window_.data();
    }

    QString error;

    bool fail(const QString &why)
    {
        if (error.isEmpty())
            error = readError_.isEmpty() ? QStringLiteral("%1 (at byte %2)").arg(why).arg(position()) : readError();
        return false;
    }

    // At least want bytes ahead, unless the input ends first.
    bool ensure(qsizetype want = 1)
    {
        return end_ - p_ >= want || refill(want);
    }

    void skipSpace()
    {
        while (ensure() && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
            ++p_;
    }
    char peek()
    {
        skipSpace();
        return p_ < end_ ? *p_ : '\0';
    }
    bool atEnd()
    {
        skipSpace();
        return p_ >= end_;
    }
    bool expect(char c)
    {
        if (peek() != c)
            return fail(p_ >= end_ ? QStringLiteral("the file ends too early")
                                   : QStringLiteral("expected '%1'").arg(QLatin1Char(c)));
        ++p_;
        return true;
    }

    // The first bytes as they are, for the checks made before reading on.
    QByteArrayView head(qsizetype want)
    {
        ensure(want);
        return QByteArrayView(p_, std::min<qsizetype>(want, end_ - p_));
    }

    // Why the input could not be read, if it could not.
    QString readError() const
    {
        return readError_.isEmpty() ? QString() : QStringLiteral("could not read the scan file: %1").arg(readError_);
    }

    // The rest of the input as it stands, unread: for a decompressor.
    class Rest : public ScanFileSource {
    public:
        explicit Rest(Reader &reader) : r_(reader) {}
        qsizetype read(char *buffer, qsizetype max, QString *error) override
        {
            if (r_.p_ < r_.end_) {
                const qsizetype n = std::min(max, qsizetype(r_.end_ - r_.p_));
                std::memcpy(buffer, r_.p_, size_t(n));
                r_.p_ += n;
                return n;
            }
            if (r_.drained_ || !r_.source_) {
                *error = r_.readError_;
                return r_.readError_.isEmpty() ? 0 : -1;
            }
            return r_.source_->read(buffer, max, error);
        }

    private:
        Reader &r_;
    };

    static constexpr qsizetype kLongestString = 64 * 1024;

    // A key's bytes: a view of the input while they lie in it whole and
    // unescaped, valid until the next read; else decoded into scratch.
    bool key(QByteArrayView &out, QByteArray &scratch)
    {
        if (peek() == '"') {
            for (const char *q = p_ + 1; q < end_ && q - p_ <= 64; ++q) {
                if (*q == '\\')
                    break;
                if (*q == '"') {
                    out = QByteArrayView(p_ + 1, q - p_ - 1);
                    p_ = q + 1;
                    return true;
                }
            }
        }
        if (!string(scratch))
            return false;
        out = scratch;
        return true;
    }

    // A string's bytes, escapes decoded (\u as UTF-8, surrogate pairs joined).
    bool string(QByteArray &out)
    {
        out.resize(0); // keeps its room for the next string
        if (!expect('"'))
            return false;
        for (;;) {
            // Plain bytes go over in runs.
            const char *run = p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\\')
                ++p_;
            if (out.size() + (p_ - run) > kLongestString)
                return fail(QStringLiteral("a string is longer than %1 bytes").arg(kLongestString));
            out.append(run, p_ - run);
            if (p_ >= end_) {
                if (ensure())
                    continue;
                return fail(QStringLiteral("the file ends inside a string"));
            }
            const char c = *p_++;
            if (c == '"')
                return true;
            if (out.size() >= kLongestString)
                return fail(QStringLiteral("a string is longer than %1 bytes").arg(kLongestString));
            if (!ensure())
                return fail(QStringLiteral("the file ends inside a string"));
            const char e = *p_++;
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 't': out += '\t'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                char32_t code = 0;
                if (!hex4(code))
                    return false;
                if (code >= 0xD800 && code < 0xDC00 && ensure(6) && p_[0] == '\\' && p_[1] == 'u') {
                    p_ += 2;
                    char32_t low = 0;
                    if (!hex4(low))
                        return false;
                    if (low >= 0xDC00 && low < 0xE000)
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    else
                        appendUtf8(out, 0xFFFD), code = low;
                }
                if (code >= 0xD800 && code < 0xE000)
                    code = 0xFFFD; // a lone surrogate
                appendUtf8(out, code);
                break;
            }
            default:
                return fail(QStringLiteral("a string has an unknown escape"));
            }
        }
    }

    // A whole non-negative number; a fraction or exponent is dropped (mtime).
    bool number(quint64 &out)
    {
        skipSpace();
        if (p_ < end_ && *p_ == '-')
            return fail(QStringLiteral("a size or count is negative"));
        if (p_ >= end_ || *p_ < '0' || *p_ > '9')
            return fail(QStringLiteral("expected a number"));
        out = 0;
        while (ensure() && *p_ >= '0' && *p_ <= '9') {
            const quint64 digit = quint64(*p_++ - '0');
            if (out > (quint64(INT64_MAX) - digit) / 10)
                return fail(QStringLiteral("a number is too large"));
            out = out * 10 + digit;
        }
        if (ensure() && *p_ == '.') {
            ++p_;
            while (ensure() && *p_ >= '0' && *p_ <= '9')
                ++p_;
        }
        if (ensure() && (*p_ == 'e' || *p_ == 'E'))
            return fail(QStringLiteral("a number has an exponent"));
        return true;
    }

    // A time, which may lie before 1970.
    bool signedNumber(qint64 &out)
    {
        skipSpace();
        const bool negative = ensure() && *p_ == '-';
        if (negative)
            ++p_;
        quint64 magnitude = 0;
        if (!number(magnitude))
            return false;
        out = negative ? -qint64(magnitude) : qint64(magnitude);
        return true;
    }

    bool boolean(bool &out)
    {
        skipSpace();
        ensure(5);
        if (end_ - p_ >= 4 && std::memcmp(p_, "true", 4) == 0) {
            p_ += 4;
            out = true;
            return true;
        }
        if (end_ - p_ >= 5 && std::memcmp(p_, "false", 5) == 0) {
            p_ += 5;
            out = false;
            return true;
        }
        if (end_ - p_ >= 4 && std::memcmp(p_, "null", 4) == 0) {
            p_ += 4;
            out = false;
            return true;
        }
        return fail(QStringLiteral("expected true or false"));
    }

    // Any value, of any nesting, without keeping it.
    bool skipValue()
    {
        std::vector<char> open; // the containers around, '[' or '{'
        QByteArray scratch;
        for (;;) {
            const char c = peek();
            if (c == '[' || c == '{') {
                ++p_;
                if (peek() == (c == '[' ? ']' : '}')) {
                    ++p_;
                } else {
                    open.push_back(c);
                    if (c == '{' && !(string(scratch) && expect(':')))
                        return false;
                    continue;
                }
            } else if (c == '"') {
                if (!string(scratch))
                    return false;
            } else if (c == '-' || (c >= '0' && c <= '9')) {
                ++p_;
                while (ensure() && ((*p_ >= '0' && *p_ <= '9') || *p_ == '.' || *p_ == 'e' || *p_ == 'E' ||
                                    *p_ == '+' || *p_ == '-'))
                    ++p_;
            } else if (c == 't' || c == 'f' || c == 'n') {
                bool ignored;
                if (!boolean(ignored))
                    return false;
            } else {
                return fail(p_ >= end_ ? QStringLiteral("the file ends too early") : QStringLiteral("expected a value"));
            }
            // After a value: the next one in its container, or its end.
            for (;;) {
                if (open.empty())
                    return true;
                const char n = peek();
                if (n == ',') {
                    ++p_;
                    if (open.back() == '{' && !(string(scratch) && expect(':')))
                        return false;
                    break;
                }
                if (n == (open.back() == '[' ? ']' : '}')) {
                    ++p_;
                    open.pop_back();
                    continue;
                }
                return fail(QStringLiteral("expected ',' or the end of a list"));
            }
        }
    }

private:
    bool hex4(char32_t &out)
    {
        if (!ensure(4))
            return fail(QStringLiteral("the file ends inside a string"));
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = *p_++;
            out <<= 4;
            if (h >= '0' && h <= '9')
                out |= char32_t(h - '0');
            else if (h >= 'a' && h <= 'f')
                out |= char32_t(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                out |= char32_t(h - 'A' + 10);
            else
                return fail(QStringLiteral("a \\u escape is not hexadecimal"));
        }
        return true;
    }

    static void appendUtf8(QByteArray &out, char32_t c)
    {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }

    static constexpr qsizetype kWindow = 1 << 20;

    qint64 position() const { return base_ + qint64(p_ - (source_ ? window_.data() : begin_)); }

    // Moves what is left to the front of the window and reads on behind it.
    bool refill(qsizetype want)
    {
        if (!source_ || drained_)
            return false;
        const qsizetype left = end_ - p_;
        base_ += p_ - window_.data();
        std::memmove(window_.data(), p_, size_t(left));
        p_ = window_.data();
        end_ = p_ + left;
        while (end_ - p_ < want && !drained_) {
            QString why;
            const qsizetype got = source_->read(const_cast<char *>(end_), kWindow - (end_ - p_), &why);
            if (got <= 0) {
                drained_ = true;
                if (got < 0)
                    readError_ = why.isEmpty() ? QStringLiteral("a read failed") : why;
                break;
            }
            end_ += got;
        }
        return end_ - p_ >= want;
    }

    ScanFileSource *source_ = nullptr;
    std::vector<char> window_;
    const char *p_ = nullptr;
    const char *end_ = nullptr;
    const char *begin_ = nullptr;
    qint64 base_ = 0; // the input's offset of the window's start
    bool drained_ = false;
    QString readError_;
};

// What an INFO object says of one entry.
struct Info {
    QByteArray name;
    bool named = false;
    quint64 asize = 0, dsize = 0, dev = 0, ino = 0, nlink = 0;
    qint64 mtime = 0;
    bool hasDev = false, hasIno = false, hlnkc = false, readError = false, notreg = false;
    QByteArray excluded;
    QByteArray key; // scratch, kept with its room from entry to entry
};

bool readInfo(Reader &in, Info &info)
{
    {
        // A million entries: their strings reuse the same room.
        QByteArray name = std::move(info.name), key = std::move(info.key);
        info = Info{};
        info.name = std::move(name);
        info.key = std::move(key);
        info.name.resize(0);
    }
    if (!in.expect('{'))
        return false;
    if (in.peek() == '}')
        return in.expect('}') && in.fail(QStringLiteral("an entry has no name"));
    enum Key { name, asize, dsize, dev, ino, nlink, mtime, hlnkc, readError, notreg, excluded, other };
    // Known keys by their length, compared whole in a load or two.
    const auto keyOf = [](QByteArrayView t) {
        const auto is = [&t]<size_t N>(const char (&word)[N]) { return std::memcmp(t.data(), word, N - 1) == 0; };
        switch (t.size()) {
        case 3: return is("dev") ? dev : is("ino") ? ino : other;
        case 4: return is("name") ? name : other;
        case 5: return is("asize") ? asize : is("dsize") ? dsize : is("nlink") ? nlink : is("mtime") ? mtime
                     : is("hlnkc") ? hlnkc : other;
        case 6: return is("notreg") ? notreg : other;
        case 8: return is("excluded") ? excluded : other;
        case 10: return is("read_error") ? readError : other;
        default: return other;
        }
    };
    for (;;) {
        QByteArrayView text;
        if (!in.key(text, info.key))
            return false;
        const Key key = keyOf(text); // before the next read moves the input
        if (!in.expect(':'))
            return false;
        bool ok = true;
        if (key == name) {
            ok = in.string(info.name);
            info.named = true;
        } else if (key == asize) {
            ok = in.number(info.asize);
        } else if (key == dsize) {
            ok = in.number(info.dsize);
        } else if (key == dev) {
            ok = in.number(info.dev);
            info.hasDev = true;
        } else if (key == ino) {
            ok = in.number(info.ino);
            info.hasIno = true;
        } else if (key == nlink) {
            ok = in.number(info.nlink);
        } else if (key == mtime) {
            ok = in.signedNumber(info.mtime); // a fraction is dropped
        } else if (key == hlnkc) {
            ok = in.boolean(info.hlnkc);
        } else if (key == readError) {
            ok = in.boolean(info.readError);
        } else if (key == notreg) {
            ok = in.boolean(info.notreg);
        } else if (key == excluded) {
            if (in.peek() == '"') {
                ok = in.string(info.excluded);
                if (ok && info.excluded.isEmpty())
                    info.excluded = scanFileExclusionKey(ScanNodeMark::excluded);
            } else {
                bool flag = false;
                ok = in.boolean(flag);
                if (flag)
                    info.excluded = scanFileExclusionKey(ScanNodeMark::excluded);
            }
        } else {
            ok = in.skipValue();
        }
        if (!ok)
            return false;
        const char next = in.peek();
        if (next == '}')
            break;
        if (!in.expect(','))
            return false;
    }
    if (!in.expect('}'))
        return false;
    if (!info.named)
        return in.fail(QStringLiteral("an entry has no name"));
    return true;
}

ScanNodeMark markOf(const Info &info, bool isDirectory)
{
    if (!info.excluded.isEmpty())
        return scanNodeMarkOfExclusionKey(info.excluded);
    return info.readError && isDirectory ? ScanNodeMark::unreadable : ScanNodeMark::none;
}

// An entry's own name must name one entry of its folder, nothing else.
bool isPlainName(const QByteArray &name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\0');
}

// Identifiers hash whole paths, so each level costs as much as the path
// above it: deeper trees would take minutes to read, not a scan's seconds.
constexpr size_t kDeepestFolder = 32768;

qint64 clamp(quint64 v)
{
    return v > quint64(INT64_MAX) ? INT64_MAX : qint64(v);
}

// The JSON inside a zstd stream (ncdu -c), decompressed as it is read.
class ZstdSource : public ScanFileSource {
public:
    explicit ZstdSource(ScanFileSource &compressed) : compressed_(compressed), in_(ZSTD_DStreamInSize()) {}
    ~ZstdSource() override { ZSTD_freeDStream(stream_); }

    qsizetype read(char *buffer, qsizetype max, QString *error) override
    {
        if (!stream_) {
            *error = QStringLiteral("not enough memory to decompress the scan file");
            return -1;
        }
        ZSTD_outBuffer out{buffer, size_t(max), 0};
        while (out.pos == 0) {
            if (input_.pos == input_.size && !ended_) {
                const qsizetype got = compressed_.read(in_.data(), qsizetype(in_.size()), error);
                if (got < 0)
                    return -1;
                ended_ = got == 0;
                input_ = {in_.data(), size_t(got), 0};
            }
            if (input_.pos == input_.size && ended_) {
                if (status_ != 0) {
                    *error = QStringLiteral("the compressed scan file ends too early");
                    return -1;
                }
                return 0;
            }
            status_ = ZSTD_decompressStream(stream_, &out, &input_);
            if (ZSTD_isError(status_)) {
                *error = QStringLiteral("the compressed scan file is damaged: %1")
                             .arg(QString::fromUtf8(ZSTD_getErrorName(status_)));
                return -1;
            }
        }
        return qsizetype(out.pos);
    }

private:
    ScanFileSource &compressed_;
    ZSTD_DStream *stream_ = ZSTD_createDStream();
    std::vector<char> in_;
    ZSTD_inBuffer input_{nullptr, 0, 0};
    size_t status_ = 1; // nonzero: a frame is not complete yet
    bool ended_ = false;
};

// Bytes of memory handed out as a source.
class MemorySource : public ScanFileSource {
public:
    explicit MemorySource(QByteArrayView data) : data_(data) {}
    qsizetype read(char *buffer, qsizetype max, QString *) override
    {
        const qsizetype n = std::min(max, data_.size() - at_);
        std::memcpy(buffer, data_.data() + at_, size_t(n));
        at_ += n;
        return n;
    }

private:
    QByteArrayView data_;
    qsizetype at_ = 0;
};

constexpr char kZstdMagic[] = "\x28\xb5\x2f\xfd";
constexpr char kNcduBinaryMagic[] = "\xbfncduEX1";

bool startsWith(QByteArrayView head, const char *magic, qsizetype size)
{
    return head.size() >= size && std::memcmp(head.data(), magic, size_t(size)) == 0;
}

// Why the first bytes are not those of a scan file, or nothing: JSON begins
// with "[" after white space, a compressed file with zstd's magic bytes.
// White space alone is looked through only so far.
QString startProblem(QByteArrayView head, bool whole)
{
    if (startsWith(head, kZstdMagic, 4))
        return {};
    if (startsWith(head, kNcduBinaryMagic, 8))
        return QStringLiteral("This is ncdu's binary export, which Burrowlens does not read; convert it "
                              "first with: ncdu -f FILE -o FILE.json");
    for (const char c : head) {
        if (c == '[')
            return {};
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
            break;
    }
    if (head.isEmpty() && whole)
        return QStringLiteral("This is not a scan file: it is empty");
    return QStringLiteral("This is not a scan file: it does not start as ncdu's JSON export does");
}

constexpr qsizetype kHeadBytes = 64 * 1024;

// Room for as many entries as a plain file of so many bytes can hold at 13
// bytes the smallest: pages are only touched as nodes come, and growing the
// columns would touch them all again.
qsizetype roomFor(qint64 bytes)
{
    return qsizetype(std::clamp<qint64>(bytes / 13 + 1, 0, 16 * 1024 * 1024));
}

// Names take the file's bytes less a dozen an entry at most: half of them
// is room for the usual file, and more names still grow the room.
qsizetype nameRoomFor(qint64 bytes)
{
    return qsizetype(std::clamp<qint64>(bytes / 2, 0, qint64(1) << 30));
}

// From so many entries on, the pages of the nodes to come are faulted in
// on another thread while this one reads.
constexpr qsizetype kFaultAheadFrom = qsizetype(1) << 18;

std::optional<ScanFileContents> parse(Reader &in, qint64 plainBytes, QString *error);

} // namespace

QString scanFileStartProblem(QByteArrayView head)
{
    return startProblem(head, true);
}

std::optional<ScanFileContents> readScanFile(ScanFileSource &source, QString *error)
{
    Reader in(source);
    const QByteArrayView head = in.head(kHeadBytes);
    QString problem = in.readError();
    if (problem.isEmpty())
        problem = startProblem(head, true);
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return std::nullopt;
    }
    if (startsWith(head, kZstdMagic, 4)) {
        Reader::Rest compressed(in);
        ZstdSource plain(compressed);
        Reader json(plain);
        return parse(json, 0, error);
    }
    return parse(in, source.size(), error);
}

std::optional<ScanFileContents> readScanFile(QByteArrayView data, QString *error)
{
    const QString problem = startProblem(data.first(std::min(data.size(), kHeadBytes)), true);
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return std::nullopt;
    }
    if (startsWith(data, kZstdMagic, 4)) {
        MemorySource compressed(data);
        ZstdSource plain(compressed);
        Reader json(plain);
        return parse(json, 0, error);
    }
    Reader in(data);
    return parse(in, data.size(), error);
}

namespace {

// The identifiers of the pending nodes, run by run (a folder and where its
// nodes end in pending), written into nodes.
void identifyRuns(ScanTree::Builder &nodes, const PathIdentifiers &ids, const std::vector<int32_t> &pending,
                  const std::vector<std::pair<int32_t, size_t>> &runs)
{
    const auto some = [&](size_t firstRun, size_t endRun) {
        std::vector<PathIdentifiers::Child> children;
        std::vector<QUuid> made;
        PathIdentifiers::Batch batch(ids);
        const auto startOf = [&runs](size_t r) { return r == 0 ? size_t(0) : runs[r - 1].second; };
        for (size_t r = firstRun; r < endRun;) {
            // A few thousand nodes at a time; small runs nested in one
            // another walk their shared path together.
            const size_t from = startOf(r);
            size_t to = from;
            const size_t groupStart = r;
            for (; r < endRun && (r == groupStart || runs[r].second - from <= 4096); ++r)
                to = runs[r].second;
            made.assign(to - from, QUuid());
            for (size_t g = groupStart; g < r; ++g) {
                children.clear();
                for (size_t k = startOf(g); k < runs[g].second; ++k)
                    children.push_back({nodes.name(pending[k]), &made[k - from]});
                batch.add(runs[g].first, children.data(), qsizetype(children.size()));
            }
            batch.flush();
            for (size_t k = from; k < to; ++k)
                nodes.setId(pending[k], made[k - from]);
        }
    };
    if (pending.size() < 20000) {
        some(0, runs.size());
        return;
    }
    const auto middle = std::lower_bound(runs.begin(), runs.end(), pending.size() / 2,
                                         [](const auto &run, size_t at) { return run.second < at; });
    const size_t split = size_t(middle - runs.begin());
    runOnTwoThreads([&] { some(0, split); }, [&] { some(split, runs.size()); });
}

std::optional<ScanFileContents> parse(Reader &in, qint64 plainBytes, QString *error)
{
    const qsizetype room = roomFor(plainBytes);
    const auto refuse = [&](const QString &why) -> std::optional<ScanFileContents> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    ScanFileContents contents;
    quint64 major = 0, minor = 0, timestamp = 0;
    if (in.peek() != '[')
        return refuse(QStringLiteral("This is not a scan file: it does not start as ncdu's JSON export does"));
    if (!in.expect('[') || !in.number(major))
        return refuse(in.error);
    if (major != 1)
        return refuse(QStringLiteral("This scan file has major version %1; Burrowlens reads version 1").arg(major));
    if (!in.expect(',') || !in.number(minor) || !in.expect(','))
        return refuse(in.error);
    if (in.peek() == '{') {
        in.expect('{');
        QByteArray key, value;
        bool ok = true;
        if (in.peek() == '}') {
            in.expect('}');
        } else {
            for (;;) {
                ok = in.string(key) && in.expect(':');
                if (ok && key == "progname" && in.peek() == '"') {
                    ok = in.string(value);
                    contents.producer = QString::fromUtf8(value);
                } else if (ok && key == "timestamp" && in.peek() != '"') {
                    ok = in.number(timestamp);
                } else if (ok) {
                    ok = in.skipValue();
                }
                if (!ok || in.peek() != ',')
                    break;
                in.expect(',');
            }
            ok = ok && in.expect('}');
        }
        if (!ok)
            return refuse(in.error);
    } else if (!in.skipValue()) {
        return refuse(in.error);
    }
    if (!in.expect(',') || in.peek() != '[')
        return refuse(in.error.isEmpty() ? QStringLiteral("the scan file has no root folder") : in.error);

    // gdu marks every link after the first with hlnkc and no inode on the
    // first: the marked ones are the file counted already.
    const bool fromGdu = contents.producer == u"gdu";

    std::optional<ScanTree::Builder> nodes;
    std::vector<bl::LinkedFile> linked;
    struct Frame {
        int32_t node;
        int32_t folder; // in ids
        quint64 dev;
        qint64 children = 0;
        bool packageName = false;
        quint64 asize = 0, dsize = 0; // its own, for a package written whole
        quint64 allocated = 0, logical = 0; // of what was read below it
        std::vector<int32_t> unnamed; // children not identified yet
    };
    std::vector<Frame> stack;
    std::optional<PathIdentifiers> ids;
    // Children are identified once the whole file is read, on two threads
    // for a large one, a folder's together (PathIdentifiers): here each
    // folder's are only noted, as runs of pending nodes.
    std::vector<int32_t> pending;
    std::vector<std::pair<int32_t, size_t>> runs; // folder, end in pending
    const auto identify = [&](Frame &frame) {
        if (frame.unnamed.empty())
            return;
        pending.insert(pending.end(), frame.unnamed.begin(), frame.unnamed.end());
        runs.emplace_back(frame.folder, pending.size());
        frame.unnamed.clear();
    };
    qint64 directories = 0, unreadable = 0;
    Info info;

    // One entry read: its node, and a frame when it is a folder to walk.
    const auto add = [&](bool isDirectory) -> bool {
        const bool isRoot = !nodes;
        if (nodes && nodes->size() >= qsizetype(INT32_MAX - 1))
            return in.fail(QStringLiteral("the scan file holds too many entries"));
        QUuid id;
        ScanTree::NodeFacts facts;
        if (isRoot) {
            if (!info.name.startsWith('/'))
                return in.fail(QStringLiteral("the root's name is not an absolute path"));
            if (info.name.contains('\0'))
                return in.fail(QStringLiteral("the root's name holds a NUL byte"));
            if (info.name.split('/').contains(".."))
                return in.fail(QStringLiteral("the root's path holds \"..\""));
            QByteArray path = info.name;
            while (path.size() > 1 && path.endsWith('/'))
                path.chop(1);
            nodes.emplace(FileUrl::fromNativePath(path, true), room, nameRoomFor(plainBytes));
            if (room >= kFaultAheadFrom)
                nodes->faultAhead();
            ids.emplace(path);
            id = ids->topID();
        } else {
            if (!isPlainName(info.name))
                return in.fail(QStringLiteral("an entry's name is empty or holds a \"/\""));
        }
        const bool isPackage = isDirectory && bl_is_package_name(info.name.constData()) != 0;
        facts.isReadable = !info.readError;
        facts.mark = markOf(info, isDirectory);
        facts.isSpecial = !isDirectory && info.notreg;
        facts.kind = isDirectory ? ScanNodeKind::directory : ScanNodeKind::file;
        facts.modifiedAt = info.mtime;
        facts.childCount = -1; // as listed
        const quint64 dev = info.hasDev ? info.dev : (stack.empty() ? 0 : stack.back().dev);
        if (!isDirectory && !facts.isSpecial && facts.mark == ScanNodeMark::none) {
            facts.allocatedSize = clamp(info.dsize);
            facts.logicalSize = clamp(info.asize);
        }
        const int32_t index = int32_t(nodes->size());
        // Into its folder's sums now, unless it is a later link gdu marked
        // (counted already) or one charged once a folder after the whole
        // file is read.
        bool summedNow = true;
        if (!isDirectory && !facts.isSpecial && (info.hlnkc || info.nlink > 1)) {
            facts.linkCount = quint32(std::min<quint64>(std::max<quint64>(info.nlink, 2), UINT32_MAX));
            if (fromGdu && info.hlnkc) {
                summedNow = false;
            } else if (info.hasIno) {
                linked.push_back({int64_t(index), {dev, info.ino}});
                summedNow = false;
            }
        }
        if (!isRoot) {
            Frame &parent = stack.back();
            ++parent.children;
            if (summedNow) {
                parent.allocated = bl::saturatingAdd(parent.allocated, quint64(facts.allocatedSize));
                parent.logical = bl::saturatingAdd(parent.logical, quint64(facts.logicalSize));
            }
        }
        const bool walk = isDirectory && (facts.mark == ScanNodeMark::none || facts.mark == ScanNodeMark::unreadable);
        if (isDirectory) {
            ++directories;
            unreadable += facts.mark == ScanNodeMark::unreadable;
        }
        if (walk && stack.size() >= kDeepestFolder)
            return in.fail(QStringLiteral("folders nest deeper than %1 levels").arg(kDeepestFolder));
        nodes->add(id, isRoot ? -1 : stack.back().node, info.name, facts);
        if (!isRoot) {
            stack.back().unnamed.push_back(index);
            if (stack.back().unnamed.size() >= 64)
                identify(stack.back());
        }
        if (isRoot) {
            const QString path = nodes->url(0).path();
            nodes->setDisplayName(0, path == u"/" ? path : nodes->url(0).lastPathComponent());
        }
        if (walk) {
            const int32_t folder = isRoot ? 0 : ids->addFolder(stack.back().folder, info.name);
            stack.push_back({index, folder, dev, 0, isPackage, info.asize, info.dsize, 0, 0, {}});
        }
        if (isDirectory && !walk)
            return in.expect(']'); // a folder that was not entered has no children here
        return true;
    };

    // The root folder and everything below it.
    bool ok = in.expect('[') && readInfo(in, info) && add(true);
    while (ok && !stack.empty()) {
        const char c = in.peek();
        if (c == ']') {
            in.expect(']');
            Frame &done = stack.back();
            identify(done);
            // A package written whole, as a scan measures it; one that was
            // walked (by ncdu) keeps its children and stays a folder.
            if (done.packageName && done.children == 0 && done.node > 0) {
                ScanTree::NodeFacts facts = nodes->facts(done.node);
                facts.kind = ScanNodeKind::package;
                facts.isPackage = true;
                facts.allocatedSize = clamp(done.dsize);
                facts.logicalSize = clamp(done.asize);
                nodes->setFacts(done.node, facts);
                --directories;
            }
            // Totals bottom-up: a folder is done before its parent.
            nodes->addSizes(done.node, clamp(done.allocated), clamp(done.logical));
            if (stack.size() > 1) {
                Frame &parent = stack[stack.size() - 2];
                parent.allocated = bl::saturatingAdd(parent.allocated, quint64(nodes->allocatedSize(done.node)));
                parent.logical = bl::saturatingAdd(parent.logical, quint64(nodes->logicalSize(done.node)));
            }
            stack.pop_back();
            continue;
        }
        if (!in.expect(','))
            break;
        const char next = in.peek();
        if (next == '[')
            ok = in.expect('[') && readInfo(in, info) && add(true);
        else if (next == '{')
            ok = readInfo(in, info) && add(false);
        else
            ok = in.fail(QStringLiteral("expected a folder or a file"));
    }
    if (!ok || !in.error.isEmpty())
        return refuse(QStringLiteral("The scan file is damaged: %1").arg(in.error));
    // Anything after the root is for later versions of the format.
    while (in.peek() == ',') {
        in.expect(',');
        if (!in.skipValue())
            return refuse(QStringLiteral("The scan file is damaged: %1").arg(in.error));
    }
    if (!in.expect(']'))
        return refuse(QStringLiteral("The scan file is damaged: %1").arg(in.error));
    if (!in.atEnd()) {
        in.fail(QStringLiteral("there is more after the end of the scan file"));
        return refuse(QStringLiteral("The scan file is damaged: %1").arg(in.error));
    }
    if (!in.readError().isEmpty())
        return refuse(in.readError());

    identifyRuns(*nodes, *ids, pending, runs);
    pending = {};
    const size_t n = size_t(nodes->size());
    bl::chargeLinkedFilesOnce(
        linked, [&](int64_t node) -> int64_t { return nodes->parentOf(qint32(node)); },
        [&](int64_t folder, int64_t file) {
            nodes->addSizes(qint32(folder), nodes->allocatedSize(qint32(file)), nodes->logicalSize(qint32(file)));
        });
    for (const bl::LinkedFile &f : linked)
        nodes->setLinkedFile(qint32(f.node), f.file);

    ScanSummary &s = contents.summary;
    s.rootURL = nodes->url(0);
    s.startedAt = s.finishedAt = QDateTime::fromSecsSinceEpoch(qint64(std::min<quint64>(timestamp, 253402300799ULL)), Qt::UTC);
    s.itemsScanned = qint64(n);
    s.directoriesScanned = directories;
    s.filesScanned = qint64(n) - directories;
    s.unreadableCount = unreadable;
    s.totalAllocatedSize = nodes->allocatedSize(0);
    // One entry named twice in a folder shares its identifier with the other.
    qsizetype duplicate = -1;
    contents.tree = nodes->finish(&duplicate);
    if (duplicate >= 0)
        return refuse(QStringLiteral("The scan file is damaged: it names \u201C%1\u201D twice")
                          .arg(nodes->url(qint32(duplicate)).path()));
    return contents;
}

} // namespace

// Form1::MD5dariFile, the sampled file fingerprint, checked against a model of the sampling built
// here and against the window's two golden figures.

#include "WindowTest.h"
#include "window/Form1.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

namespace quillsum {
namespace {

using test::MakeFile;
using test::RandomBytes;

QString Name(const std::filesystem::path &path) { return QString::fromStdString(path.string()); }

QString Model(std::string_view head, std::int64_t length) {
  return QString::fromStdString(test::ReferenceFingerprint(head, length));
}

// Opens and closes of one file, as inotify saw them.
struct OpenCount {
  int opens = 0;
  int closes = 0;
};

class OpenWatch {
public:
  explicit OpenWatch(const std::filesystem::path &file)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    ::inotify_add_watch(fd_, file.c_str(), IN_OPEN | IN_CLOSE);
  }
  OpenWatch(const OpenWatch &) = delete;
  OpenWatch &operator=(const OpenWatch &) = delete;
  ~OpenWatch() { ::close(fd_); }

  // What happened since the watch began; the events are queued as the calls are made.
  OpenCount Seen() const {
    OpenCount count;
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (ssize_t got; (got = ::read(fd_, buffer.data(), buffer.size())) > 0;)
      for (ssize_t at = 0; at < got;) {
        const auto *event = reinterpret_cast<const inotify_event *>(buffer.data() + at);
        count.opens += (event->mask & IN_OPEN) != 0;
        count.closes += (event->mask & IN_CLOSE) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    return count;
  }

private:
  int fd_;
};

} // namespace

class FingerprintTest : public QObject {
  Q_OBJECT

private slots:
  void goldenFigures_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("golden");
    QTest::newRow("empty file") << QByteArray() << "348A9791DC41B89796EC3808B5B5262F";
    QTest::newRow("abc") << QByteArray("abc") << "1A821A17504FE5B6180E653902FC80BC";
  }
  void goldenFigures() {
    QFETCH(QByteArray, content);
    QFETCH(QString, golden);
    const test::TempDir dir;
    const auto file = dir.Write("f", content.toStdString());
    QCOMPARE(Form1().MD5dariFile(Name(file)), golden);
    QCOMPARE(Model(content.toStdString(), content.size()), golden); // the model is sound too
  }

  void agreesWithTheSampling_data() {
    QTest::addColumn<qint64>("length");
    for (qint64 length : {1LL, 15LL, 16LL, 17LL, 429LL, 430LL, 431LL, 979LL, 980LL, 1999LL, 2000LL,
                          7000LL, 13999LL, 14000LL, 14014LL, 14015LL, 100'000LL})
      QTest::addRow("%lld bytes", length) << length;
    // Past 2 GiB a 32-bit length would turn negative or small and sample nothing or too little.
    for (qint64 length : {(1LL << 31) - 1, 1LL << 31, (1LL << 31) + 5, (1LL << 32) + 1, 5LL << 30})
      QTest::addRow("%lld-byte hole", length) << length;
  }
  void agreesWithTheSampling() {
    QFETCH(qint64, length);
    const test::TempDir dir;
    const auto head = RandomBytes(static_cast<std::size_t>(std::min<qint64>(length, 20'000)),
                                  static_cast<std::uint32_t>(length));
    MakeFile(dir.path() / "f", head, length);
    QCOMPARE(Form1().MD5dariFile(Name(dir.path() / "f")), Model(head, length));
  }

  void onlySampledBytesCount_data() {
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("counts");
    for (int offset : {0, 15, 429, 444, 979, 1999, 7014, 13999, 14014})
      QTest::addRow("byte %d", offset) << offset << true;
    for (int offset : {16, 428, 445, 978, 995, 1998, 5015, 13998, 14015, 19999})
      QTest::addRow("byte %d", offset) << offset << false;
  }
  void onlySampledBytesCount() {
    QFETCH(int, offset);
    QFETCH(bool, counts);
    const test::TempDir dir;
    auto content = RandomBytes(20'000, 1);
    Form1 form;
    const QString before = form.MD5dariFile(Name(dir.Write("f", content)));
    content[static_cast<std::size_t>(offset)] ^= 0x5A;
    const QString after = form.MD5dariFile(Name(dir.Write("f", content)));
    QCOMPARE(after != before, counts);
  }

  void missingAndZeroBytesCountAlike() {
    const test::TempDir dir;
    const auto content = RandomBytes(429, 2);
    Form1 form;
    QCOMPARE(form.MD5dariFile(Name(dir.Write("short", content))),
             form.MD5dariFile(Name(dir.Write("long", content + '\0'))));
  }

  void namesReachTheFileSystemUnchanged_data() {
    QTest::addColumn<QString>("name");
    for (const char *name :
         {"plain", "with space", " two  spaces ", "new\nline", "tab\there", "café ünïcødé",
          "日本語", "emoji 😀", "-leading-dash", "100%", "back\\slash", "'quote\""})
      QTest::newRow(name) << QString::fromUtf8(name);
  }
  void namesReachTheFileSystemUnchanged() {
    QFETCH(QString, name);
    const test::TempDir dir;
    const auto content = RandomBytes(500, static_cast<std::uint32_t>(qHash(name)));
    const auto file = dir.Write(name.toStdString(), content);
    QVERIFY(std::filesystem::exists(file));
    QCOMPARE(Form1().MD5dariFile(QString::fromStdString(dir.path().string()) + '/' + name),
             Model(content, 500));
  }

  void whatIsNoReadableFileGivesTheEmptyText_data() {
    QTest::addColumn<QString>("what");
    for (const char *what :
         {"no such file", "empty name", "folder", "file used as a folder", "zero byte in the name"})
      QTest::newRow(what) << what;
  }
  void whatIsNoReadableFileGivesTheEmptyText() {
    QFETCH(QString, what);
    const test::TempDir dir;
    const QString base = Name(dir.Write("a", "abc"));
    const QHash<QString, QString> names = {
        {"no such file", Name(dir.path() / "missing")},
        {"empty name", ""},
        {"folder", Name(dir.path())},
        {"file used as a folder", base + "/x"},
        // The system calls would see only "…/a", a file that exists.
        {"zero byte in the name", base + QChar(0) + "b"},
    };
    QCOMPARE(Form1().MD5dariFile(names.value(what)), QString());
  }

  // Their length by name is 0: nothing is opened, so nothing can wait for a writer.
  void whatReportsNoLengthIsFingerprintedAsEmpty_data() {
    QTest::addColumn<QString>("what");
    for (const char *what : {"fifo", "/dev/null", "/dev/zero"})
      QTest::newRow(what) << what;
  }
  void whatReportsNoLengthIsFingerprintedAsEmpty() {
    QFETCH(QString, what);
    const test::TempDir dir;
    QString name = what;
    if (what == "fifo") {
      QCOMPARE(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
      name = Name(dir.path() / "fifo");
    }
    QCOMPARE(Form1().MD5dariFile(name), Model({}, 0));
  }

  void opensANonEmptyFileOnceAndClosesIt_data() {
    QTest::addColumn<bool>("fifo");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("opens");
    QTest::newRow("empty file") << false << 0LL << 0;
    QTest::newRow("abc") << false << 3LL << 1;
    QTest::newRow("14000 bytes") << false << 14'000LL << 1;
    QTest::newRow("5 GiB hole") << false << (5LL << 30) << 1;
    QTest::newRow("fifo, never opened, so nothing blocks") << true << 0LL << 0;
  }
  void opensANonEmptyFileOnceAndClosesIt() {
    QFETCH(bool, fifo);
    QFETCH(qint64, length);
    QFETCH(int, opens);
    const test::TempDir dir;
    const auto file = dir.path() / "f";
    if (fifo)
      QCOMPARE(::mkfifo(file.c_str(), 0600), 0);
    else
      MakeFile(file, RandomBytes(static_cast<std::size_t>(std::min<qint64>(length, 20'000)), 3),
               length);
    const OpenWatch watch(file);
    Form1().MD5dariFile(Name(file));
    const OpenCount seen = watch.Seen();
    QCOMPARE(seen.opens, opens);
    QCOMPARE(seen.closes, opens);
  }
};

} // namespace quillsum

QUILLSUM_HEADLESS_TEST_MAIN(quillsum::FingerprintTest)
#include "FingerprintTest.moc"

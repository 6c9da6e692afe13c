// Nothing is kept between runs. Each run is a process of its own, as the user starts the program:
// a file is picked in the real dialog and the window is closed. Home and configuration folders of
// the test's own must stay as they were, and a run's dialog must know nothing of the folder an
// earlier run picked from or another Qt program saved.

#include "WindowTest.h"
#include "window/Form1.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>

#include <fstream>

namespace quillsum {
namespace {

namespace fs = std::filesystem;

// Every file and folder under folder, as paths relative to it.
QStringList Contents(const fs::path &folder) {
  QStringList found;
  for (const auto &entry : fs::recursive_directory_iterator(folder))
    found << QString::fromStdString(fs::relative(entry.path(), folder).string());
  found.sort();
  return found;
}

} // namespace

// One run of the window, in a process of its own: the user goes to the file's folder in the
// dialog, picks the file and closes the window. The dialog must know nothing of that folder when
// it opens: not as its folder, in its history or in its sidebar.
class OneRun : public QObject {
  Q_OBJECT

public:
  explicit OneRun(const QString &file) : file_(file) {}

private slots:
  void pickAFileAndClose() {
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QStringList known;
    QVERIFY(test::WithModal(
        [&] { QTest::mouseClick(form.findChild<QPushButton *>("Command1"), Qt::LeftButton); },
        [&](QWidget *modal) {
          const QFileDialog *dialog = test::Dialog(modal);
          QVERIFY(dialog);
          known = dialog->history() << dialog->directory().absolutePath();
          for (const QUrl &url : dialog->sidebarUrls())
            known << url.toLocalFile();
          test::TypeNameAndOpen(modal, file_.absolutePath());
          test::TypeNameAndOpen(modal, file_.fileName());
        }));
    QVERIFY2(!known.contains(file_.absolutePath()), qPrintable(known.join(", ")));
    QCOMPARE(form.findChild<QLineEdit *>("Text3")->text(), "1A821A17504FE5B6180E653902FC80BC");
    QVERIFY(form.close());
  }

private:
  QFileInfo file_;
};

class NothingKeptTest : public QObject {
  Q_OBJECT

private slots:
  void nothingIsKeptBetweenRuns() {
    const test::TempDir root;
    const fs::path &dir = root.path();
    const char *const kept[] = {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME",
                                "XDG_STATE_HOME"};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : kept) {
      fs::create_directory(dir / name);
      environment.insert(name, QString::fromStdString((dir / name).string()));
    }
    fs::create_directory(dir / "work");
    fs::create_directory(dir / "elsewhere");
    const QString file = QString::fromStdString(root.Write("elsewhere/abc", "abc").string());
    // What a run said when it failed; nothing when it passed.
    const auto run = [&]() -> QByteArray {
      QProcess process;
      process.setProcessEnvironment(environment);
      process.setWorkingDirectory(QString::fromStdString((dir / "work").string()));
      process.setProcessChannelMode(QProcess::MergedChannels);
      process.start(QCoreApplication::applicationFilePath(), {"--run", file});
      const bool passed = process.waitForFinished(120'000) &&
                          process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
      return passed ? QByteArray() : process.readAll() + "\nthe run failed";
    };

    QByteArray failed = run();
    QVERIFY2(failed.isEmpty(), failed.constData());
    for (const char *name : kept)
      QVERIFY2(Contents(dir / name).isEmpty(), qPrintable(Contents(dir / name).join(' ')));

    // What another Qt program's dialog leaves; the next run must neither follow nor change it.
    const fs::path conf = dir / "XDG_CONFIG_HOME" / "QtProject.conf";
    const std::string elsewhere = "file://" + (dir / "elsewhere").string();
    const std::string saved = "[FileDialog]\nhistory=" + elsewhere + "\nlastVisited=" + elsewhere +
                              "\nshortcuts=" + elsewhere + "\nsidebarWidth=90\n";
    std::ofstream(conf) << saved;
    failed = run();
    QVERIFY2(failed.isEmpty(), failed.constData());
    for (const char *name : kept)
      QCOMPARE(Contents(dir / name),
               name == kept[1] ? QStringList{"QtProject.conf"} : QStringList{});
    std::ifstream in(conf);
    QCOMPARE(std::string(std::istreambuf_iterator<char>(in), {}), saved);
  }
};

} // namespace quillsum

int main(int argc, char *argv[]) {
  if (argc == 3 && QByteArray(argv[1]) == "--run") { // in the folders the test gives
    QApplication app(argc, argv);
    quillsum::OneRun run(QFile::decodeName(argv[2]));
    return QTest::qExec(&run, 1, argv);
  }
  const quillsum::test::Headless headless;
  QApplication app(argc, argv);
  quillsum::NothingKeptTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "NothingKeptTest.moc"

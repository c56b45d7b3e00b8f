// The update check end to end against a loopback server: the request it
// sends, how each reply is read, the stored version, the outcomes and
// their texts, and which thread shows the dialog.
#include "loopbackserver.h"
#include "testenv.h"
#include "uiseam.h"
#include "updatecheck.h"
#include "updatedlg.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <unistd.h>

namespace {

struct Outcome {
    QString kind; // "latest", "connection", "update"
    QString title;
    std::uint32_t ms = 0;
    std::uint32_t ls = 0;
    bool cursorClear = true;
};

// Records which outcome ran instead of showing anything.
class RecordingCheck : public CUpdateCheck {
public:
    QList<Outcome> outcomes;
    void OnLatestVersion(std::uint32_t ms, std::uint32_t ls) override
    {
        outcomes.append({QStringLiteral("latest"), {}, ms, ls, QGuiApplication::overrideCursor() == nullptr});
    }
    void OnConnectionIssue(std::uint32_t ms, std::uint32_t ls) override
    {
        outcomes.append({QStringLiteral("connection"), {}, ms, ls, QGuiApplication::overrideCursor() == nullptr});
    }
    void OnUpdateAvailable(const QString &title) override
    {
        outcomes.append({QStringLiteral("update"), title, 0, 0, QGuiApplication::overrideCursor() == nullptr});
    }
};

struct Shown {
    QString kind; // "dialog" or "box"
    QString caption;
    QString title;
    QString info;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget *owner = nullptr;
    QWidget *parent = nullptr;
    bool onGuiThread = false;
};

// Everything the default outcomes would show, through the seam.
struct ShownRecorder {
    QList<Shown> shown;
    ShownRecorder()
    {
        vellumo::ui::setModalHandler([this](QDialog &d) {
            Shown s;
            s.kind = QStringLiteral("dialog");
            s.caption = d.windowTitle();
            if (auto *dlg = qobject_cast<CUpdateDlg *>(&d)) {
                s.title = dlg->titleText();
                s.info = dlg->infoText();
            }
            s.parent = d.parentWidget();
            s.onGuiThread = QThread::currentThread() == qApp->thread();
            shown.append(s);
            return int(QDialog::Accepted);
        });
        vellumo::ui::setMessageBoxHandler([this](const vellumo::ui::MessageBoxRequest &r) {
            Shown s;
            s.kind = QStringLiteral("box");
            s.caption = r.caption;
            s.info = r.text;
            s.icon = r.icon;
            s.owner = r.owner;
            s.onGuiThread = QThread::currentThread() == qApp->thread();
            shown.append(s);
        });
    }
    ~ShownRecorder()
    {
        vellumo::ui::setModalHandler({});
        vellumo::ui::setMessageBoxHandler({});
    }
};

const QString kKey = QStringLiteral("UpdateVersion");

QSettings *newSettings() { return new QSettings(QStringLiteral("Corvanta"), QStringLiteral("Vellumo")); }

void setStored(const QVariant &value)
{
    std::unique_ptr<QSettings> s(newSettings());
    if (value.isValid())
        s->setValue(kKey, value);
    else
        s->remove(kKey);
    s->sync();
}

QVariant stored()
{
    std::unique_ptr<QSettings> s(newSettings());
    return s->value(kKey);
}

// Runs fn with standard output going to a file; returns what was written.
template <typename Fn>
QByteArray captureStdout(Fn fn)
{
    std::fflush(stdout);
    char path[] = "/tmp/upd-stdout-XXXXXX";
    const int fd = ::mkstemp(path);
    const int saved = ::dup(1);
    ::dup2(fd, 1);
    fn();
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    QByteArray out;
    ::lseek(fd, 0, SEEK_SET);
    char buf[1024];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, n);
    ::close(fd);
    ::unlink(path);
    return out;
}

QByteArray padded(const QByteArray &head, int size) { return head + QByteArray(size - head.size(), 'x'); }

QString headerValue(const QByteArray &request, const QByteArray &name)
{
    for (const QByteArray &line : request.split('\n')) {
        const QByteArray l = line.trimmed();
        if (l.toLower().startsWith(name.toLower() + ':'))
            return QString::fromLatin1(l.mid(name.size() + 1).trimmed());
    }
    return {};
}

} // namespace

class TestUpdateCheck : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        isolateUpdateTests(m_dir);
        qunsetenv("VELLUMO_UPDATE_URL");
    }
    void init() { setStored({}); }

    void requestCarriesVersionOsAndNoCacheHeaders()
    {
        LoopbackServer server("3|0|0|1");
        QVERIFY(server.ok());
        RecordingCheck check;
        QVERIFY(check.CheckForUpdate(server.address()));
        server.stop();

        const QList<QByteArray> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        const QByteArray firstLine = requests[0].left(requests[0].indexOf("\r\n"));
        QCOMPARE(firstLine, QByteArray("GET /getproductversion.ashx?app=vellumo&platform=x64&ver=3.0.0.1&osid=0 HTTP/1.1"));
        QCOMPARE(headerValue(requests[0], "User-Agent"), QStringLiteral("Update search"));
        QCOMPARE(headerValue(requests[0], "Pragma"), QStringLiteral("no-cache"));
        QCOMPARE(headerValue(requests[0], "Cache-Control"), QStringLiteral("no-cache"));
        QCOMPARE(check.outcomes.size(), 1);
        QCOMPARE(check.outcomes[0].ms, 0x00030000u);
        QCOMPARE(check.outcomes[0].ls, 0x00000001u);
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QVariant>("before");   // stored value before; invalid = absent
        QTest::addColumn<QString>("outcome");   // "latest", "connection", "update", "error", ""
        QTest::addColumn<QString>("title");
        QTest::addColumn<QVariant>("after");    // stored value after
        QTest::addColumn<bool>("result");

        const QVariant none;
        const QVariant v2 = QStringLiteral("3|0|0|2");
        QTest::newRow("same version") << httpResponse("3|0|0|1") << false << none << "latest" << "" << none << true;
        QTest::newRow("newer build") << httpResponse("3|0|0|2") << false << none << "update"
                                     << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("first word decides") << httpResponse("2|99|99|99") << false << none << "latest" << "" << none << true;
        QTest::newRow("newer minor, lower build") << httpResponse("3|1|0|0") << false << none << "update"
                                                  << "Update Available v3.1.0.0" << QVariant(QStringLiteral("3|1|0|0")) << true;
        QTest::newRow("16-bit truncation, stored as sent")
            << httpResponse("65539|0|0|2") << false << none << "update" << "Update Available v65539.0.0.2"
            << QVariant(QStringLiteral("65539|0|0|2")) << true;
        QTest::newRow("empty field vanishes") << httpResponse("3||0|0|2") << false << none << "update"
                                              << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("outer separators ignored") << httpResponse("||3|0|0|2|") << false << none << "update"
                                                  << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("further fields ignored") << httpResponse("3|0|0|2|beta|x") << false << none << "update"
                                                << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("511 bytes parsed") << httpResponse(padded("3|0|0|2|", 511)) << false << none << "update"
                                          << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("512 bytes is a connection issue") << httpResponse(padded("3|0|0|2|", 512)) << false << none
                                                         << "connection" << "" << none << false;
        QTest::newRow("long reply cut off") << httpResponse(padded("3|0|0|2|", 200000)) << false << none
                                            << "connection" << "" << none << false;
        QTest::newRow("empty reply") << httpResponse("") << false << none << "connection" << "" << none << false;
        QTest::newRow("status not examined") << httpResponse("3|0|0|2", 404, "Not Found") << false << none
                                             << "update" << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("html page") << httpResponse("<html><body>Server Error</body></html>", 500, "Oops")
                                   << false << none << "error" << "" << none << false;
        QTest::newRow("three fields") << httpResponse("3|0|0") << false << none << "error" << "" << none << false;
        QTest::newRow("html page, silent") << httpResponse("<html></html>") << true << none << "" << "" << none << false;
        // A version text too long for the title is refused, not cut.
        QTest::newRow("over-long fields") << httpResponse("3|0|0|00000000000000000000000000000000000000002")
                                          << false << none << "error" << "" << none << false;
        QTest::newRow("over-long fields, silent") << httpResponse("3|0|0|00000000000000000000000000000000000000002")
                                                  << true << none << "" << "" << none << false;
        // Silent rules: announce once per version text.
        QTest::newRow("silent, same stored") << httpResponse("3|0|0|2") << true << v2 << "" << "" << v2 << true;
        QTest::newRow("silent, older stored") << httpResponse("3|0|0|2") << true << QVariant(QStringLiteral("3|0|0|1"))
                                              << "update" << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("silent, nothing stored") << httpResponse("3|0|0|2") << true << none << "update"
                                                << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("silent, same number other text") << httpResponse("3|0|0|02") << true << v2 << "update"
                                                        << "Update Available v3.0.0.02" << QVariant(QStringLiteral("3|0|0|02")) << true;
        QTest::newRow("silent, stored value over-long") << httpResponse("3|0|0|2") << true
                                                        << QVariant(QStringLiteral("3|0|0|2") + QString(70, u'0'))
                                                        << "update" << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("interactive, same stored") << httpResponse("3|0|0|2") << false << v2 << "update"
                                                  << "Update Available v3.0.0.2" << v2 << true;
        QTest::newRow("silent, latest") << httpResponse("3|0|0|1") << true << v2 << "latest" << "" << v2 << true;
    }

    // Which outcome runs for each reply, with the virtuals overridden.
    void replies()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, silent);
        QFETCH(QVariant, before);
        QFETCH(QString, outcome);
        QFETCH(QString, title);
        QFETCH(QVariant, after);
        QFETCH(bool, result);

        setStored(before);
        ShownRecorder shown;
        LoopbackServer server(QList<ServedResponse>{{response}});
        QVERIFY(server.ok());
        RecordingCheck check;
        check.m_bSilent = silent;
        QCOMPARE(check.CheckForUpdate(server.address()), result);

        if (outcome == QLatin1String("error")) {
            QVERIFY(check.outcomes.isEmpty());
            QCOMPARE(shown.shown.size(), 1);
            QCOMPARE(shown.shown[0].kind, QStringLiteral("box"));
        } else if (outcome.isEmpty()) {
            QVERIFY(check.outcomes.isEmpty());
            QVERIFY(shown.shown.isEmpty());
        } else {
            QVERIFY(shown.shown.isEmpty());
            QCOMPARE(check.outcomes.size(), 1);
            QCOMPARE(check.outcomes[0].kind, outcome);
            QCOMPARE(check.outcomes[0].title, title);
            QVERIFY(check.outcomes[0].cursorClear);
        }
        const QVariant now = stored();
        QCOMPARE(now.isValid(), after.isValid());
        if (after.isValid())
            QCOMPARE(now.toString(), after.toString());
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void defaultOutcomes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("info");

        QTest::newRow("latest") << QByteArray("3|0|0|1") << false << "dialog" << "Latest Version"
                                << "Good news, you are already using the latest version";
        QTest::newRow("latest, silent") << QByteArray("3|0|0|1") << true << "" << "" << "";
        QTest::newRow("connection") << QByteArray() << false << "dialog" << "Connection Issue"
                                    << "Unable to check at this time";
        QTest::newRow("connection, silent") << QByteArray() << true << "" << "" << "";
        QTest::newRow("update") << QByteArray("3|0|0|2") << false << "dialog" << "Update Available v3.0.0.2"
                                << "Great news, a new version is available!";
        QTest::newRow("update, silent") << QByteArray("3|0|0|2") << true << "dialog" << "Update Available v3.0.0.2"
                                        << "Great news, a new version is available!";
        QTest::newRow("error") << QByteArray("Service Unavailable") << false << "box" << ""
                               << "An Error occurred trying to check for an update\nPlease try again later";
    }

    // The texts the default outcomes show, through the UI seam.
    void defaultOutcomes()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, silent);
        QFETCH(QString, kind);
        QFETCH(QString, title);
        QFETCH(QString, info);

        ShownRecorder shown;
        LoopbackServer server(body);
        QWidget owner;
        CUpdateCheck check;
        check.m_hOwner = &owner;
        check.m_bSilent = silent;
        check.CheckForUpdate(server.address());

        if (kind.isEmpty()) {
            QVERIFY(shown.shown.isEmpty());
            return;
        }
        QCOMPARE(shown.shown.size(), 1);
        const Shown &s = shown.shown[0];
        QCOMPARE(s.kind, kind);
        QVERIFY(s.onGuiThread);
        QCOMPARE(s.info, info);
        if (kind == QLatin1String("dialog")) {
            QCOMPARE(s.caption, QStringLiteral("Check for Update"));
            QCOMPARE(s.title, title);
            QVERIFY(s.parent == nullptr);
        } else {
            QCOMPARE(s.caption, QString());
            QCOMPARE(s.icon, QMessageBox::Critical);
            QVERIFY(s.owner == &owner);
        }
    }

    void diagnosticLinesOnlyWhenStoring()
    {
        LoopbackServer server(QList<ServedResponse>{{httpResponse("3|0|0|2")}, {httpResponse("3|0|0|1")}});
        RecordingCheck check;
        const QByteArray stored = captureStdout([&] { check.CheckForUpdate(server.address()); });
        QCOMPARE(stored, QByteArray("Success writing to Registry.\nSuccess closing key.\n"));
        const QByteArray latest = captureStdout([&] { check.CheckForUpdate(server.address()); });
        QCOMPARE(latest, QByteArray());
    }

    // A store that cannot be opened: nothing written, the stored text counts
    // as empty, so even a silent check announces.
    void unreadableStoreAnnounces()
    {
        const QString file = std::unique_ptr<QSettings>(newSettings())->fileName();
        QFile::remove(file);
        QVERIFY(QDir().mkpath(file)); // a folder where the file should be
        LoopbackServer server("3|0|0|2");
        RecordingCheck check;
        check.m_bSilent = true;
        const QByteArray out = captureStdout([&] { check.CheckForUpdate(server.address()); });
        QVERIFY(QDir().rmdir(file));
        QCOMPARE(out, QByteArray());
        QCOMPARE(check.outcomes.size(), 1);
        QCOMPARE(check.outcomes[0].kind, QStringLiteral("update"));
    }

    void connectionRefused()
    {
        const QString address = QStringLiteral("http://127.0.0.1:%1/getproductversion.ashx?app=vellumo&platform=x64")
                                    .arg(LoopbackServer::closedPort());
        RecordingCheck check;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!check.CheckForUpdate(address));
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(check.outcomes.size(), 1);
        QCOMPARE(check.outcomes[0].kind, QStringLiteral("connection"));
        QCOMPARE(check.outcomes[0].ms, 0x00030000u);
        QCOMPARE(check.outcomes[0].ls, 0x00000001u);
    }

    // The start-up form: owner and silent flag stored, VELLUMO_UPDATE_URL
    // used, true whatever happened; an empty variable turns it all off.
    void addressForms()
    {
        LoopbackServer server(QList<ServedResponse>{{httpResponse("3|0|0|1")}, {httpResponse("3|0|0|1")}});
        qputenv("VELLUMO_UPDATE_URL", server.address().toUtf8());
        QVERIFY(CUpdateCheck::StartupCheckEnabled());
        QWidget owner;
        RecordingCheck check;
        QVERIFY(check.CheckForUpdate(&owner, true));
        QVERIFY(check.m_hOwner == &owner);
        QVERIFY(check.m_bSilent);
        QVERIFY(check.CheckForUpdate(CUpdateCheck::IDS_UPDATE_ADDRESS));
        QCOMPARE(server.requests().size(), 2);
        QCOMPARE(check.outcomes.size(), 2);

        // An unknown resource has no address: a connection issue, no request.
        QVERIFY(!check.CheckForUpdate(1u));
        QCOMPARE(check.outcomes.last().kind, QStringLiteral("connection"));

        qputenv("VELLUMO_UPDATE_URL", "");
        QVERIFY(!CUpdateCheck::StartupCheckEnabled());
        RecordingCheck off;
        QVERIFY(off.CheckForUpdate());
        QCOMPARE(off.outcomes.size(), 1);
        QCOMPARE(off.outcomes[0].kind, QStringLiteral("connection"));
        QCOMPARE(server.requests().size(), 2);

        qunsetenv("VELLUMO_UPDATE_URL");
        QVERIFY(CUpdateCheck::StartupCheckEnabled());
        QVERIFY(CUpdateCheck::DefaultAddress().endsWith(QStringLiteral("/getproductversion.ashx?app=vellumo&platform=x64")));
        QVERIFY(CUpdateCheck::DefaultAddress().startsWith(QStringLiteral("http://")));
    }

    // The start-up check on a worker: it ends without waiting for anyone,
    // and the announcement is shown later, on the GUI thread.
    void workerHandsDialogToGuiThread()
    {
        ShownRecorder shown;
        LoopbackServer server("3|0|0|2");
        CUpdateCheck check;
        qputenv("VELLUMO_UPDATE_URL", server.address().toUtf8());
        std::future<bool> task = std::async(std::launch::async, [&] { return check.CheckForUpdate(nullptr, true); });
        QCOMPARE(task.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        QVERIFY(task.get());
        qunsetenv("VELLUMO_UPDATE_URL");
        QVERIFY(shown.shown.isEmpty()); // queued, not run on the worker
        QTRY_COMPARE_WITH_TIMEOUT(shown.shown.size(), 1, 5000);
        QVERIFY(shown.shown[0].onGuiThread);
        QCOMPARE(shown.shown[0].title, QStringLiteral("Update Available v3.0.0.2"));
        QCOMPARE(stored().toString(), QStringLiteral("3|0|0|2"));
    }

    void workerHandsErrorBoxToGuiThread()
    {
        ShownRecorder shown;
        LoopbackServer server("<html></html>");
        CUpdateCheck check;
        std::future<bool> task = std::async(std::launch::async, [&] { return check.CheckForUpdate(server.address()); });
        QCOMPARE(task.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        QVERIFY(!task.get());
        QVERIFY(shown.shown.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(shown.shown.size(), 1, 5000);
        QCOMPARE(shown.shown[0].kind, QStringLiteral("box"));
        QVERIFY(shown.shown[0].onGuiThread);
    }
};

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"

// The pieces of the update check on their own: reading the reply, the
// version comparison, the operating-system identifier, the request
// address, and the HTTP reader's byte cap and time limits.
#include "httpget.h"
#include "loopbackserver.h"
#include "osid.h"
#include "testenv.h"
#include "updatecheck.h"
#include "versionreply.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <climits>

using namespace vellumo::update;

class TestUpdateParts : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase() { isolateUpdateTests(m_dir); }

    void splitting_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArrayList>("fields");
        QTest::newRow("plain") << QByteArray("3|0|0|2") << QByteArrayList{"3", "0", "0", "2"};
        QTest::newRow("runs and ends") << QByteArray("||3|||0|0|2||") << QByteArrayList{"3", "0", "0", "2"};
        QTest::newRow("kept as received") << QByteArray(" 3 |0|0|2\r\n") << QByteArrayList{" 3 ", "0", "0", "2\r\n"};
        QTest::newRow("ends at NUL") << QByteArray("3|0|\0|0|2", 9) << QByteArrayList{"3", "0"};
        QTest::newRow("separators only") << QByteArray("|||") << QByteArrayList{};
        QTest::newRow("no separator") << QByteArray("<html>") << QByteArrayList{"<html>"};
    }
    void splitting()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QByteArrayList, fields);
        QCOMPARE(splitReplyFields(reply), fields);
    }

    void fieldValues_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<int>("value");
        QTest::newRow("digits") << QByteArray("65539") << 65539;
        QTest::newRow("leading space") << QByteArray(" \t12") << 12;
        QTest::newRow("trailing junk") << QByteArray("7beta") << 7;
        QTest::newRow("newline after") << QByteArray("2\r\n") << 2;
        QTest::newRow("sign") << QByteArray("-5") << -5;
        QTest::newRow("plus") << QByteArray("+5") << 5;
        QTest::newRow("no digits") << QByteArray("<html>") << 0;
        QTest::newRow("lone sign") << QByteArray("-") << 0;
        QTest::newRow("too big") << QByteArray("99999999999999999999") << INT_MAX;
        QTest::newRow("too small") << QByteArray("-99999999999999999999") << INT_MIN;
    }
    void fieldValues()
    {
        QFETCH(QByteArray, field);
        QFETCH(int, value);
        QCOMPARE(fieldValue(field), value);
    }

    void comparison()
    {
        const VersionWords running{0x00030000u, 0x00000001u};
        QCOMPARE(versionFromFields(65539, 0, 0, 2).ms, 0x00030000u);
        QCOMPARE(versionFromFields(65539, 0, 0, 2).ls, 0x00000002u);
        QCOMPARE(versionFromFields(-1, 0, 0, 0).ms, 0xFFFF0000u);
        QVERIFY(isNewer(versionFromFields(3, 0, 0, 2), running));
        QVERIFY(!isNewer(versionFromFields(3, 0, 0, 1), running));
        QVERIFY(!isNewer(versionFromFields(2, 99, 99, 99), running));
        QVERIFY(isNewer(versionFromFields(3, 1, 0, 0), running));
        QVERIFY(!isNewer(versionFromFields(3, 0, 0, 0), running));
        // Unsigned words: a high first part still compares as large.
        QVERIFY(isNewer(versionFromFields(0x8000, 0, 0, 0), running));
    }

    void osId_data()
    {
        QTest::addColumn<unsigned>("platform");
        QTest::addColumn<unsigned>("major");
        QTest::addColumn<unsigned>("minor");
        QTest::addColumn<unsigned>("build");
        QTest::addColumn<unsigned>("product");
        QTest::addColumn<int>("id");
        const unsigned ws = kWorkstation, srv = 3;
        QTest::newRow("95 below first") << 1u << 4u << 0u << 949u << ws << 0;
        QTest::newRow("95") << 1u << 4u << 0u << 950u << ws << 1;
        QTest::newRow("95 OSR2 low") << 1u << 4u << 0u << 951u << ws << 2;
        QTest::newRow("95 OSR2 high") << 1u << 4u << 0u << 1080u << ws << 2;
        QTest::newRow("95 later") << 1u << 4u << 3u << 1081u << ws << 3;
        QTest::newRow("95 build high word ignored") << 1u << 4u << 0u << ((4u << 24) | 950u) << ws << 1;
        QTest::newRow("98 below first") << 1u << 4u << 10u << 1997u << ws << 0;
        QTest::newRow("98") << 1u << 4u << 10u << 1998u << ws << 4;
        QTest::newRow("98 SP1") << 1u << 4u << 10u << 2182u << ws << 5;
        QTest::newRow("98 SE") << 1u << 4u << 10u << 2183u << ws << 6;
        QTest::newRow("Me") << 1u << 4u << 90u << 3000u << ws << 7;
        QTest::newRow("platform 1 other minor") << 1u << 4u << 50u << 3000u << ws << 0;
        QTest::newRow("platform 1 other major") << 1u << 5u << 0u << 3000u << ws << 0;
        QTest::newRow("NT 3.51") << 2u << 3u << 51u << 1057u << srv << 101;
        QTest::newRow("NT 4") << 2u << 4u << 0u << 1381u << ws << 102;
        QTest::newRow("5.0") << 2u << 5u << 0u << 2195u << ws << 103;
        QTest::newRow("5.1") << 2u << 5u << 1u << 2600u << ws << 104;
        QTest::newRow("5.2") << 2u << 5u << 2u << 3790u << srv << 105;
        QTest::newRow("6.0 ws") << 2u << 6u << 0u << 6000u << ws << 106;
        QTest::newRow("6.0 other") << 2u << 6u << 0u << 6001u << srv << 107;
        QTest::newRow("6.1 ws") << 2u << 6u << 1u << 7601u << ws << 109;
        QTest::newRow("6.1 other") << 2u << 6u << 1u << 7601u << srv << 108;
        QTest::newRow("6.2 ws") << 2u << 6u << 2u << 9200u << ws << 110;
        QTest::newRow("6.2 other") << 2u << 6u << 2u << 9200u << srv << 111;
        QTest::newRow("6.3 ws") << 2u << 6u << 3u << 9600u << ws << 112;
        QTest::newRow("6.3 other") << 2u << 6u << 3u << 9600u << srv << 113;
        QTest::newRow("6.4") << 2u << 6u << 4u << 9600u << ws << 0;
        QTest::newRow("10 ws") << 2u << 10u << 0u << 21999u << ws << 114;
        QTest::newRow("11 ws") << 2u << 10u << 0u << 22000u << ws << 117;
        QTest::newRow("10 server old") << 2u << 10u << 0u << 17762u << srv << 115;
        QTest::newRow("server 2019") << 2u << 10u << 0u << 17763u << srv << 116;
        QTest::newRow("server 2019 last") << 2u << 10u << 0u << 20347u << srv << 116;
        QTest::newRow("server 2022") << 2u << 10u << 0u << 20348u << srv << 118;
        QTest::newRow("platform 3") << 3u << 0u << 0u << 0u << 0u << 201;
        QTest::newRow("unknown platform") << 4u << 10u << 0u << 22000u << ws << 0;
        QTest::newRow("unfilled") << 0u << 0u << 0u << 0u << 0u << 0;
    }
    void osId()
    {
        QFETCH(unsigned, platform);
        QFETCH(unsigned, major);
        QFETCH(unsigned, minor);
        QFETCH(unsigned, build);
        QFETCH(unsigned, product);
        QFETCH(int, id);
        QCOMPARE(GetOsId(platform, major, minor, build, product), id);
    }

    void runningSystemAndVersion()
    {
        QCOMPARE(GetOsId(), 0);
        QCOMPARE(CUpdateCheck::RunningVersionMS(), 0x00030000u);
        QCOMPARE(CUpdateCheck::RunningVersionLS(), 0x00000001u);
        QCOMPARE(CUpdateCheck::RequestAddress(QStringLiteral("http://h/getproductversion.ashx?app=vellumo&platform=x64"),
                                              0x00030000u, 0x00000001u, 117),
                 QStringLiteral("http://h/getproductversion.ashx?app=vellumo&platform=x64&ver=3.0.0.1&osid=117"));
        QCOMPARE(CUpdateCheck::RequestAddress(QStringLiteral("a"), 0xFFFF0001u, 0x00020003u, 0),
                 QStringLiteral("a&ver=65535.1.2.3&osid=0"));
    }

    // The reader keeps no more than it is allowed and ends the transfer
    // there instead of draining a large body.
    void readerCapsTheBody()
    {
        LoopbackServer server(QList<ServedResponse>{{httpResponse(QByteArray(4 << 20, 'x'))}});
        HttpGetRequest request;
        request.url = server.base() + "/big";
        request.maxBytes = 512;
        QElapsedTimer timer;
        timer.start();
        const HttpGetResult result = httpGet(request);
        QCOMPARE(result.status, HttpGetResult::Ok);
        QCOMPARE(result.body.size(), 512);
        QVERIFY(timer.elapsed() < 5000);
    }

    // A server that accepts and then says nothing: the whole-request limit
    // ends the wait, and it counts as no answer at all.
    void readerGivesUpOnSilentServer()
    {
        LoopbackServer server(QList<ServedResponse>{{QByteArray(), true}}, 3000);
        HttpGetRequest request;
        request.url = server.base() + "/slow";
        request.connectTimeoutMs = 300;
        request.totalTimeoutMs = 400;
        QElapsedTimer timer;
        timer.start();
        const HttpGetResult result = httpGet(request);
        QCOMPARE(result.status, HttpGetResult::OpenFailed);
        QVERIFY(timer.elapsed() < 2500);
    }

    // Headers arrive, then the server goes quiet: the read fails.
    void readerReportsFailedRead()
    {
        LoopbackServer server(QList<ServedResponse>{{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", true}}, 3000);
        HttpGetRequest request;
        request.url = server.base() + "/stall";
        request.totalTimeoutMs = 400;
        QCOMPARE(httpGet(request).status, HttpGetResult::ReadFailed);
    }

    void readerKeepsWhatArrivedBeforeEarlyClose()
    {
        const QByteArray headersOnly = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n3|0";
        LoopbackServer server(QList<ServedResponse>{{headersOnly, false}});
        HttpGetRequest request;
        request.url = server.base() + "/short";
        request.totalTimeoutMs = 2000;
        const HttpGetResult result = httpGet(request);
        // The server closes early: what did arrive is the body.
        QCOMPARE(result.status, HttpGetResult::Ok);
        QCOMPARE(result.body, QByteArray("3|0"));
    }

    void readerOnlySpeaksHttp()
    {
        HttpGetRequest request;
        request.url = "file:///etc/hostname";
        QCOMPARE(httpGet(request).status, HttpGetResult::OpenFailed);
    }
};

QTEST_MAIN(TestUpdateParts)
#include "tst_updateparts.moc"

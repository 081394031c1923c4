#include "Wendle.h"
#include "WendleBall.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

namespace {

WendlePath pathOf(const QString& text)
{
    WendlePath p;
    p.fromText(text);
    return p;
}

// JSON written in the tables with single quotes for readability.
QByteArray compact(QByteArray text)
{
    return QJsonDocument::fromJson(text.replace('\'', '"')).toJson(QJsonDocument::Compact);
}

QByteArray compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

// Moves the lattice's transposition path to `steps`, one prime step at a time.
bool transposeAlong(Wendle& lattice, const QList<int>& steps)
{
    WendlePath done;
    for (int s : steps) {
        done.append(qint8(s));
        if (!QMetaObject::invokeMethod(&lattice, "onTransposed", Qt::DirectConnection,
                                       Q_ARG(WendleRatio, WendleRatio(done)), Q_ARG(int, s)))
            return false;
    }
    return true;
}

// Every ball below `ball` has its parent's path plus its key, the colour of
// its step's prime and its parent as Qt parent; returns how many there are.
int checkSubtree(const Wendle& lattice, const WendleBall* ball)
{
    int n = 0;
    for (auto it = ball->children.begin(); it != ball->children.end(); ++it) {
        WendlePath expected = ball->path;
        expected.append(qint8(it.key()));
        if (it.value()->path != expected || it.value()->colour != lattice.primeColor(it.key()) || it.value()->parent() != ball)
            return -1;
        const int below = checkSubtree(lattice, it.value());
        if (below < 0)
            return -1;
        n += 1 + below;
    }
    return n;
}

} // namespace

class TestWendleBall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<WendleRatio>("WendleRatio"); }

    // The subtree is switched before the ball itself announces the change;
    // a ball that already has the value leaves its subtree alone.
    void setEnabled()
    {
        Wendle lattice;
        auto top = new WendleBall(pathOf("/2"), Qt::gray, &lattice);
        const auto add = [](WendleBall* parent, int step) {
            WendlePath p = parent->path;
            p.append(qint8(step));
            return parent->children[step] = new WendleBall(p, Qt::blue, parent);
        };
        add(top, 5);
        WendleBall* up = add(top, 3);
        add(top, -3);
        add(up, 3);
        QStringList log;
        const QList<WendleBall*> all = top->findChildren<WendleBall*>() << top;
        for (WendleBall* b : all)
            connect(b, &WendleBall::enabledChanged, this, [&log, b](bool on) { log << b->path.toString() + (on ? " on" : " off"); });

        top->setEnabled(false);
        QCOMPARE(std::exchange(log, {}), QStringList({ "/2/-3 off", "/2/3/3 off", "/2/3 off", "/2/5 off", "/2 off" }));
        top->setEnabled(true);
        QCOMPARE(std::exchange(log, {}), QStringList({ "/2/-3 on", "/2/3/3 on", "/2/3 on", "/2/5 on", "/2 on" }));
        up->setEnabled(false);
        up->children.value(3)->setEnabled(true);
        QCOMPARE(std::exchange(log, {}), QStringList({ "/2/3/3 off", "/2/3 off", "/2/3/3 on" }));
        up->setEnabled(false);
        top->setEnabled(true);
        QVERIFY(log.isEmpty());
        QVERIFY(up->children.value(3)->enabled && !up->enabled);
    }

    void addLink_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("target");
        QTest::newRow("octave above") << "/2/3" << "/2/3";
        QTest::newRow("loose slashes") << "2//-3/" << "/2/-3";
    }

    // A link always goes under key 2 with the octave's colour, replacing the earlier one.
    void addLink()
    {
        QFETCH(QString, text);
        QFETCH(QString, target);
        Wendle lattice;
        lattice.initWithDefaults();
        auto ball = new WendleBall(pathOf("/3"), lattice.primeColor(3), &lattice);
        ball->addLink("/-3");
        ball->addLink(text);
        QCOMPARE(ball->links.keys(), QList<qint32>({ 2 }));
        QCOMPARE(ball->links.value(2).target, pathOf(target));
        QCOMPARE(ball->links.value(2).colour, lattice.primeColor(2));
    }

    void steps_data()
    {
        QTest::addColumn<QList<int>>("transposition");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QList<int>>("absolute");
        QTest::addColumn<int>("colourPrime");
        QTest::addColumn<int>("lastPrime");
        QTest::newRow("root") << QList<int> {} << "/" << QList<int> {} << 1 << 1;
        QTest::newRow("/2") << QList<int> {} << "/2" << QList<int> { 2 } << 2 << 2;
        QTest::newRow("/2/3") << QList<int> {} << "/2/3" << QList<int> { 2, 3 } << 3 << 3;
        QTest::newRow("/-2/-2") << QList<int> {} << "/-2/-2" << QList<int> { -2, -2 } << 2 << 2;
        QTest::newRow("/2/-5: a prime from 5 up") << QList<int> {} << "/2/-5" << QList<int> { 2, -5 } << 32 << 5;
        QTest::newRow("/-31/3") << QList<int> {} << "/-31/3" << QList<int> { -31, 3 } << 32 << 3;
        QTest::newRow("own pair cancels") << QList<int> {} << "/2/-3/3" << QList<int> { 2 } << 2 << 3;
        QTest::newRow("/5/-5 sounds 1/1") << QList<int> {} << "/5/-5" << QList<int> {} << 1 << 5;
        QTest::newRow("/3 under -3") << QList<int> { -3 } << "/3" << QList<int> {} << 1 << 3;
        QTest::newRow("/3/3 under -3") << QList<int> { -3 } << "/3/3" << QList<int> { 3 } << 3 << 3;
        QTest::newRow("root under 7, 5") << QList<int> { 7, 5 } << "/" << QList<int> { 7, 5 } << 7 << 1;
        QTest::newRow("/2 under 5") << QList<int> { 5 } << "/2" << QList<int> { 5, 2 } << 2 << 2;
        QTest::newRow("/-3 under 3, 5") << QList<int> { 3, 5 } << "/-3" << QList<int> { 5 } << 5 << 3;
        QTest::newRow("order kept") << QList<int> { 7 } << "/3/-7/5" << QList<int> { 3, 5 } << 32 << 5;
        QTest::newRow("nested pairs") << QList<int> { 5 } << "/-2/-5/2" << QList<int> {} << 1 << 2;
        QTest::newRow("nearest opposite") << QList<int> { 3, 5, 3 } << "/-3" << QList<int> { 3, 5 } << 3 << 3;
        QTest::newRow("/-2 under 31, 3") << QList<int> { 31, 3 } << "/-2" << QList<int> { 31, 3, -2 } << 3 << 2;
    }

    // The steps to a ball's sounding pitch, each cancelled against the nearest
    // earlier opposite one, and the colour key painted from them.
    void steps()
    {
        QFETCH(QList<int>, transposition);
        QFETCH(QString, path);
        QFETCH(QList<int>, absolute);
        QFETCH(int, colourPrime);
        QFETCH(int, lastPrime);
        Wendle lattice;
        lattice.initWithDefaults();
        QVERIFY(transposeAlong(lattice, transposition));
        auto ball = new WendleBall(pathOf(path), Qt::white, lattice.root);
        QCOMPARE(ball->absoluteSteps(), absolute);
        QCOMPARE(ball->colourPrime(), colourPrime);
        QCOMPARE(ball->lastPrime(), lastPrime);
        QCOMPARE(ball->path, pathOf(path));
    }

    void readJson_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QStringList>("warnings");
        const auto row = [](const char* name, const char* path, const char* in, const char* out, const QStringList& warnings = {}) {
            QTest::newRow(name) << QString(path) << compact(in) << compact(out) << warnings;
        };
        row("leaf", "/", "{'colour': '#ffffff'}", "{}");
        row("nested with links", "/2",
            "{'children': {'-3': {'children': {'5': {}, '-31': {}}, 'links': {'2': '/2/-3'}}, '3': {}}}",
            "{'children': {'-3': {'children': {'5': {}, '-31': {}}, 'links': {'2': '/2/-3'}}, '3': {}}}");
        row("children not an object", "/", "{'children': [{}, {}]}", "{}");
        row("child value not an object", "/", "{'children': {'3': 7}}", "{'children': {'3': {}}}");
        row("equal steps: the later wins", "/2", "{'children': {'03': {}, '3': {'children': {'5': {}}}}}",
            "{'children': {'3': {'children': {'5': {}}}}}");
        for (const char* key : { "4", "131", "abc", "0", "1", "-1", "32", "" }) {
            QTest::newRow(qPrintable(QStringLiteral("bad key \"%1\"").arg(key)))
                << QStringLiteral("/2") << compact(QByteArray("{'children': {'") + key + "': {'children': {'3': {}}}, '5': {}}}")
                << compact("{'children': {'5': {}}}")
                << QStringList { QStringLiteral("^Lattice file: child \"%1\" of /2 skipped: not a signed prime step$").arg(key) };
        }
        row("child beyond six steps", "/3/3/3/3/3/3", "{'children': {'5': {}, '-3': {}}}", "{}",
            { "child \"-3\" of /3/3/3/3/3/3 skipped: paths hold at most 6 steps", "child \"5\" of /3/3/3/3/3/3 skipped" });
        row("deep nest stops at six steps", "/",
            "{'children': {'3': {'children': {'3': {'children': {'3': {'children': {'3': {'children':"
            "{'3': {'children': {'3': {'children': {'3': {}}}}}}}}}}}}}}}",
            "{'children': {'3': {'children': {'3': {'children': {'3': {'children': {'3': {'children':"
            "{'3': {'children': {'3': {}}}}}}}}}}}}}",
            { "child \"3\" of /3/3/3/3/3/3 skipped" });
        row("links not an object", "/3", "{'links': '/2/3'}", "{}");
        row("link key not a number", "/3", "{'links': {'x': '/3', '5': '/5/-2'}}", "{'links': {'0': '/3', '5': '/5/-2'}}");
        row("link value not a string", "/3", "{'links': {'2': 5}}", "{'links': {'2': '/'}}");
    }

    // What a ball reads it writes back; bad children are skipped with a warning.
    void readJson()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, written);
        QFETCH(QStringList, warnings);
        Wendle lattice;
        lattice.initWithDefaults();
        auto ball = new WendleBall(pathOf(path), lattice.primeColor(3), &lattice);
        for (const QString& w : warnings)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(w).replace("\\^", "^").replace("\\$", "$")));
        ball->readJson(QJsonDocument::fromJson(input).object());
        QJsonObject out;
        ball->writeJson(out);
        QCOMPARE(compact(out), written);
        QCOMPARE(ball->path, pathOf(path));
        // Every kept ball is in place, and nothing else was left behind.
        QCOMPARE(checkSubtree(lattice, ball), int(ball->findChildren<WendleBall*>().size()));
        for (auto it = ball->links.begin(); it != ball->links.end(); ++it)
            QCOMPARE(it.value().colour, lattice.primeColor(it.key()));
    }
};

QTEST_GUILESS_MAIN(TestWendleBall)
#include "tst_wendleball.moc"

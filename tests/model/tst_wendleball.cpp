#include "Wendle.h"
#include "WendleBall.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

#include <functional>

namespace {

using u128 = unsigned __int128;

// An exact ratio kept apart from the code under test.
struct Exact
{
    u128 n = 1;
    u128 d = 1;
};

Exact reduced(u128 n, u128 d)
{
    u128 a = n, b = d;
    while (b) {
        const u128 t = a % b;
        a = b;
        b = t;
    }
    return { n / a, d / a };
}

Exact interval(int step)
{
    const int p = std::abs(step);
    u128 octave = 1;
    while (p != 2 && octave * 2 < u128(p))
        octave *= 2;
    return step > 0 ? Exact { u128(p), octave } : Exact { octave, u128(p) };
}

Exact productOf(const QList<int>& steps)
{
    Exact r;
    for (int s : steps) {
        const Exact i = interval(s);
        r = reduced(r.n * i.n, r.d * i.d);
    }
    return r;
}

WendlePath pathOf(const QString& text)
{
    WendlePath p;
    p.fromText(text);
    return p;
}

// JSON written in the tables with single quotes for readability.
QJsonObject objectOf(const char* text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text).replace('\'', '"'), &error);
    if (doc.isNull())
        qFatal("bad JSON in test table: %s (%s)", text, qPrintable(error.errorString()));
    return doc.object();
}

QByteArray textOf(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// Moves the lattice's transposition path to `steps`, one prime step at a
// time, the way the engine reports prime transpositions.
bool transposeAlong(Wendle& lattice, const QList<int>& steps)
{
    QList<int> done;
    for (int s : steps) {
        done.append(s);
        const Exact t = productOf(done);
        if (!QMetaObject::invokeMethod(&lattice, "onTransposed", Qt::DirectConnection,
                                       Q_ARG(WendleRatio, WendleRatio(quint64(t.n), quint64(t.d))), Q_ARG(int, s)))
            return false;
    }
    return true;
}

// Every ball below `ball` has its parent's path plus its key, the colour of
// its step's prime and its parent as Qt parent.
void checkSubtree(const Wendle& lattice, const WendleBall* ball)
{
    for (auto it = ball->children.begin(); it != ball->children.end(); ++it) {
        const WendleBall* child = it.value();
        QVERIFY(child);
        WendlePath expected = ball->path;
        expected.append(qint8(it.key()));
        QCOMPARE(child->path, expected);
        QCOMPARE(child->colour, lattice.primeColor(std::abs(it.key())));
        QCOMPARE(child->parent(), static_cast<const QObject*>(ball));
        checkSubtree(lattice, child);
        if (QTest::currentTestFailed())
            return;
    }
}

} // namespace

class TestWendleBall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<WendleRatio>("WendleRatio");
    }

    void constructor()
    {
        QObject owner;
        const QColor colour(12, 34, 56);
        auto ball = new WendleBall(pathOf("/2/-3"), colour, &owner);
        QCOMPARE(ball->path, pathOf("/2/-3"));
        QCOMPARE(ball->colour, colour);
        QCOMPARE(ball->parent(), &owner);
        QVERIFY(ball->children.isEmpty());
        QVERIFY(ball->links.isEmpty());
        QVERIFY(!ball->playing);
        QVERIFY(ball->enabled);
        QVERIFY(!ball->selected);
        QVERIFY(!ball->hold);
        QVERIFY(!ball->altered);
        QCOMPARE(QString(ball->metaObject()->className()), QStringLiteral("WendleBall"));
    }

    void signalsInOrder()
    {
        const QMetaObject& mo = WendleBall::staticMetaObject;
        const char* names[] = { "playingChanged(bool)", "enabledChanged(bool)", "selectedChanged(bool)",
                                "holdChanged(bool)", "alteredChanged(bool)" };
        int previous = -1;
        for (const char* name : names) {
            const int index = mo.indexOfSignal(name);
            QVERIFY2(index >= 0, name);
            QVERIFY2(index > previous, name);
            previous = index;
        }
    }

    // The subtree is switched before the ball itself announces the change.
    void setEnabledRecursesBeforeSignal()
    {
        Wendle lattice;
        auto top = new WendleBall(pathOf("/2"), Qt::gray, &lattice);
        const auto add = [](WendleBall* parent, int step) {
            WendlePath p = parent->path;
            p.append(qint8(step));
            auto child = new WendleBall(p, Qt::blue, parent);
            parent->children.insert(step, child);
            return child;
        };
        add(top, 5);
        WendleBall* up = add(top, 3);
        add(top, -3);
        add(up, 3);

        QStringList log;
        const QList<WendleBall*> all = top->findChildren<WendleBall*>() << top;
        for (WendleBall* b : all)
            connect(b, &WendleBall::enabledChanged, &lattice,
                    [&log, b](bool on) { log << b->path.toString() + (on ? " on" : " off"); });

        top->setEnabled(false);
        QCOMPARE(log, QStringList({ "/2/-3 off", "/2/3/3 off", "/2/3 off", "/2/5 off", "/2 off" }));
        for (WendleBall* b : all)
            QVERIFY(!b->enabled);

        log.clear();
        top->setEnabled(true);
        QCOMPARE(log, QStringList({ "/2/-3 on", "/2/3/3 on", "/2/3 on", "/2/5 on", "/2 on" }));
        for (WendleBall* b : all)
            QVERIFY(b->enabled);

        // Setting the value a ball already has leaves its subtree alone.
        log.clear();
        up->setEnabled(false);
        QCOMPARE(log, QStringList({ "/2/3/3 off", "/2/3 off" }));
        log.clear();
        up->children.value(3)->setEnabled(true);
        QCOMPARE(log, QStringList({ "/2/3/3 on" }));
        log.clear();
        up->setEnabled(false);
        QVERIFY(log.isEmpty());
        QVERIFY(up->children.value(3)->enabled);
        top->setEnabled(true);
        QVERIFY(log.isEmpty());
        QVERIFY(!up->enabled);
    }

    void addLink_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("target");
        QTest::newRow("octave above") << "/2/3" << "/2/3";
        QTest::newRow("empty") << "/" << "/";
        QTest::newRow("loose slashes") << "2//-3/" << "/2/-3";
    }

    void addLink()
    {
        QFETCH(QString, text);
        QFETCH(QString, target);
        Wendle lattice;
        lattice.initWithDefaults();
        auto ball = new WendleBall(pathOf("/3"), lattice.primeColor(3), &lattice);
        ball->addLink("/-3");
        ball->addLink(text);
        QCOMPARE(ball->links.size(), 1);
        QVERIFY(ball->links.contains(2));
        QCOMPARE(ball->links.value(2).target, pathOf(target));
        QCOMPARE(ball->links.value(2).colour, lattice.primeColor(2));
    }

    void addLinkInvalidText()
    {
        Wendle lattice;
        lattice.initWithDefaults();
        auto ball = new WendleBall(pathOf("/3"), lattice.primeColor(3), &lattice);
        QTest::ignoreMessage(QtDebugMsg, "Invalid path: /2/x");
        ball->addLink("/2/x");
        QVERIFY(ball->links.value(2).target.isInvalid());
    }

    void absoluteSteps_data()
    {
        QTest::addColumn<QList<int>>("transposition");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("root, none") << QList<int>{} << "/" << QList<int>{};
        QTest::newRow("own steps kept") << QList<int>{} << "/2/-3/5" << QList<int>{ 2, -3, 5 };
        QTest::newRow("own pair cancels") << QList<int>{} << "/2/-3/3" << QList<int>{ 2 };
        QTest::newRow("/3 under -3") << QList<int>{ -3 } << "/3" << QList<int>{};
        QTest::newRow("/3/3 under -3") << QList<int>{ -3 } << "/3/3" << QList<int>{ 3 };
        QTest::newRow("root under 3,5") << QList<int>{ 3, 5 } << "/" << QList<int>{ 3, 5 };
        QTest::newRow("/-3 under 3,5") << QList<int>{ 3, 5 } << "/-3" << QList<int>{ 5 };
        QTest::newRow("order kept") << QList<int>{ 7 } << "/3/-7/5" << QList<int>{ 3, 5 };
        QTest::newRow("nested pairs") << QList<int>{ 5 } << "/-2/-5/2" << QList<int>{};
        QTest::newRow("two pairs") << QList<int>{ 2, -3 } << "/3/-2" << QList<int>{};
        QTest::newRow("nearest opposite") << QList<int>{ 3, 3 } << "/-3/5" << QList<int>{ 3, 5 };
        QTest::newRow("down and up") << QList<int>{ -31 } << "/31/31/-2" << QList<int>{ 31, -2 };
    }

    void absoluteSteps()
    {
        QFETCH(QList<int>, transposition);
        QFETCH(QString, path);
        QFETCH(QList<int>, expected);
        Wendle lattice;
        lattice.initWithDefaults();
        QVERIFY(transposeAlong(lattice, transposition));
        auto ball = new WendleBall(pathOf(path), Qt::white, lattice.root);
        QCOMPARE(ball->absoluteSteps(), expected);
        // The ball's own path is never touched.
        QCOMPARE(ball->path, pathOf(path));
    }

    void colourPrime_data()
    {
        QTest::addColumn<QList<int>>("transposition");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("expected");
        QTest::newRow("root") << QList<int>{} << "/" << 1;
        QTest::newRow("/2/5") << QList<int>{} << "/2/5" << 32;
        QTest::newRow("/5") << QList<int>{} << "/5" << 32;
        QTest::newRow("/-31/3") << QList<int>{} << "/-31/3" << 32;
        QTest::newRow("/2/3") << QList<int>{} << "/2/3" << 3;
        QTest::newRow("/2") << QList<int>{} << "/2" << 2;
        QTest::newRow("/-2/-2") << QList<int>{} << "/-2/-2" << 2;
        QTest::newRow("/-3/-3/-3") << QList<int>{} << "/-3/-3/-3" << 3;
        QTest::newRow("/3 under -3") << QList<int>{ -3 } << "/3" << 1;
        QTest::newRow("/5/-5 sounds 1/1") << QList<int>{} << "/5/-5" << 1;
        QTest::newRow("/-5 under 5") << QList<int>{ 5 } << "/-5" << 1;
        QTest::newRow("root under 5") << QList<int>{ 5 } << "/" << 5;
        QTest::newRow("root under 7,5") << QList<int>{ 7, 5 } << "/" << 7;
        QTest::newRow("/2 under 5") << QList<int>{ 5 } << "/2" << 2;
        QTest::newRow("/3 under 2") << QList<int>{ 2 } << "/3" << 3;
        QTest::newRow("/2/-3 under 3") << QList<int>{ 3 } << "/2/-3" << 2;
        QTest::newRow("/-2 under 31,3") << QList<int>{ 31, 3 } << "/-2" << 3;
    }

    void colourPrime()
    {
        QFETCH(QList<int>, transposition);
        QFETCH(QString, path);
        QFETCH(int, expected);
        Wendle lattice;
        lattice.initWithDefaults();
        QVERIFY(transposeAlong(lattice, transposition));
        auto ball = new WendleBall(pathOf(path), Qt::white, lattice.root);
        QCOMPARE(ball->colourPrime(), expected);
    }

    void lastPrime_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("expected");
        QTest::newRow("root") << "/" << 1;
        QTest::newRow("/2/-5") << "/2/-5" << 5;
        QTest::newRow("/-31") << "/-31" << 31;
        QTest::newRow("/3/-2") << "/3/-2" << 2;
        QTest::newRow("six steps") << "/3/3/3/3/3/-13" << 13;
    }

    void lastPrime()
    {
        QFETCH(QString, path);
        QFETCH(int, expected);
        WendleBall ball(pathOf(path), Qt::white, nullptr);
        QCOMPARE(ball.lastPrime(), expected);
    }

    void writeJson()
    {
        Wendle lattice;
        lattice.initWithDefaults();
        WendleBall leaf(pathOf("/2"), Qt::white, &lattice);
        QJsonObject json;
        leaf.writeJson(json);
        QVERIFY(json.isEmpty());

        auto ball = new WendleBall(pathOf("/2"), Qt::white, &lattice);
        auto down = new WendleBall(pathOf("/2/-3"), Qt::white, ball);
        ball->children.insert(-3, down);
        ball->children.insert(5, new WendleBall(pathOf("/2/5"), Qt::white, ball));
        down->children.insert(-3, new WendleBall(pathOf("/2/-3/-3"), Qt::white, down));
        down->addLink("/-3");
        QJsonObject out;
        ball->writeJson(out);
        QCOMPARE(textOf(out), textOf(objectOf("{'children': {'-3': {'children': {'-3': {}}, 'links': {'2': '/-3'}},"
                                              "'5': {}}}")));
    }

    void readJson_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QStringList>("warnings");
        const auto row = [](const char* name, const char* path, const char* in, const char* out,
                            const QStringList& warnings = {}) {
            QTest::newRow(name) << QString(path) << textOf(objectOf(in)) << textOf(objectOf(out)) << warnings;
        };
        row("leaf", "/", "{}", "{}");
        row("unknown keys ignored", "/", "{'colour': '#ffffff'}", "{}");
        row("child under /2", "/2", "{'children': {'3': {}}}", "{'children': {'3': {}}}");
        row("nested with links", "/",
            "{'children': {'-3': {'children': {'5': {}, '-31': {}}, 'links': {'2': '/2/-3'}}, '2': {}}}",
            "{'children': {'-3': {'children': {'5': {}, '-31': {}}, 'links': {'2': '/2/-3'}}, '2': {}}}");
        row("children not an object", "/", "{'children': 5}", "{}");
        row("children null", "/", "{'children': null}", "{}");
        row("children array", "/", "{'children': [{}, {}]}", "{}");
        row("child value not an object", "/", "{'children': {'3': 7}}", "{'children': {'3': {}}}");
        for (const char* key : { "4", "131", "abc", "-40", "0", "1", "-1", "32", "" }) {
            const QByteArray in = QByteArray("{\"children\": {\"") + key + "\": {\"children\": {\"3\": {}}}, \"5\": {}}}";
            QTest::newRow(qPrintable(QStringLiteral("bad key \"%1\"").arg(key)))
                << QStringLiteral("/2") << textOf(objectOf(in.constData())) << textOf(objectOf("{'children': {'5': {}}}"))
                << QStringList { QRegularExpression::escape(QStringLiteral("\"%1\"").arg(key)) };
        }
        row("child beyond six steps", "/3/3/3/3/3/3", "{'children': {'5': {}, '-3': {}}}", "{}",
            { QRegularExpression::escape("\"-3\""), QRegularExpression::escape("\"5\"") });
        row("deep nest stops at six steps", "/",
            "{'children': {'3': {'children': {'3': {'children': {'3': {'children': {'3': {'children':"
            "{'3': {'children': {'3': {'children': {'3': {}}}}}}}}}}}}}}}",
            "{'children': {'3': {'children': {'3': {'children': {'3': {'children': {'3': {'children':"
            "{'3': {'children': {'3': {}}}}}}}}}}}}}",
            { QRegularExpression::escape("\"3\"") });
        row("links not an object", "/3", "{'links': '/2/3'}", "{}");
        row("links", "/3", "{'links': {'2': '/2/3'}}", "{'links': {'2': '/2/3'}}");
        row("link key not a number", "/3", "{'links': {'x': '/3'}}", "{'links': {'0': '/3'}}");
        row("link value not a string", "/3", "{'links': {'2': 5}}", "{'links': {'2': '/'}}");
        row("links of several primes", "/", "{'links': {'2': '/2', '3': '/-3/2', '5': '/5/-2'}}",
            "{'links': {'2': '/2', '3': '/-3/2', '5': '/5/-2'}}");
    }

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
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(w));
        ball->readJson(QJsonDocument::fromJson(input).object());
        QJsonObject out;
        ball->writeJson(out);
        QCOMPARE(textOf(out), written);
        QCOMPARE(ball->path, pathOf(path));
        checkSubtree(lattice, ball);
        for (auto it = ball->links.begin(); it != ball->links.end(); ++it)
            QCOMPARE(it.value().colour, lattice.primeColor(it.key()));
        // Every ball that the file names and that was kept is a Qt child of the ball.
        int kept = 0;
        std::function<void(const WendleBall*)> count = [&](const WendleBall* b) {
            for (const WendleBall* c : b->children) {
                ++kept;
                count(c);
            }
        };
        count(ball);
        QCOMPARE(ball->findChildren<WendleBall*>().size(), kept);
    }

    void readJsonChildUnderTwo()
    {
        Wendle lattice;
        lattice.initWithDefaults();
        auto ball = new WendleBall(pathOf("/2"), lattice.primeColor(2), &lattice);
        ball->readJson(objectOf("{'children': {'3': {}}}"));
        QCOMPARE(ball->children.size(), 1);
        const WendleBall* child = ball->children.value(3);
        QVERIFY(child);
        QCOMPARE(child->path.toString(), QStringLiteral("/2/3"));
        QCOMPARE(child->colour, QColor(81, 115, 182));
        QCOMPARE(child->parent(), ball);
        QVERIFY(child->children.isEmpty());
        QVERIFY(child->links.isEmpty());
    }

    void readJsonLinkKeyZeroTakesColourZero()
    {
        Wendle lattice;
        lattice.initWithDefaults();
        auto ball = new WendleBall(pathOf("/3"), Qt::white, &lattice);
        ball->readJson(objectOf("{'links': {'abc': '/2/3'}}"));
        QCOMPARE(ball->links.keys(), QList<qint32>({ 0 }));
        QCOMPARE(ball->links.value(0).colour, QColor(183, 183, 183));
        QCOMPARE(ball->links.value(0).target, pathOf("/2/3"));
    }

    void readJsonInvalidLinkText()
    {
        Wendle lattice;
        lattice.initWithDefaults();
        auto ball = new WendleBall(pathOf("/3"), Qt::white, &lattice);
        QTest::ignoreMessage(QtDebugMsg, "Invalid path: /4");
        ball->readJson(objectOf("{'links': {'2': '/4'}}"));
        QVERIFY(ball->links.contains(2));
        QVERIFY(ball->links.value(2).target.isInvalid());
    }

    // Two keys naming the same step: the later one in the object's order wins.
    void readJsonEqualStepsLaterWins()
    {
        Wendle lattice;
        lattice.initWithDefaults();
        auto ball = new WendleBall(pathOf("/2"), Qt::white, &lattice);
        const QJsonObject json = objectOf("{'children': {'03': {}, '3': {'children': {'5': {}}}}}");
        QCOMPARE(json.value("children").toObject().keys(), QStringList({ "03", "3" }));
        ball->readJson(json);
        QCOMPARE(ball->children.size(), 1);
        const WendleBall* child = ball->children.value(3);
        QVERIFY(child);
        QCOMPARE(child->path.toString(), QStringLiteral("/2/3"));
        QCOMPARE(child->children.keys(), QList<qint32>({ 5 }));
    }

    // Colours come from the lattice's table as it stands when the ball reads.
    void readJsonColoursFromLattice()
    {
        Wendle lattice;
        lattice.primeColors.insert(3, QColor(1, 2, 3));
        lattice.primeColors.insert(7, QColor(4, 5, 6));
        auto ball = new WendleBall(pathOf("/"), Qt::white, &lattice);
        ball->readJson(objectOf("{'children': {'-3': {'children': {'7': {}}}, '5': {}}}"));
        QCOMPARE(ball->children.value(-3)->colour, QColor(1, 2, 3));
        QCOMPARE(ball->children.value(-3)->children.value(7)->colour, QColor(4, 5, 6));
        QCOMPARE(ball->children.value(5)->colour, QColor(Qt::white));
    }

    void leafIsEmptyObjectInLatticeFile()
    {
        Wendle lattice;
        lattice.initWithDefaults();
        QJsonObject json;
        lattice.writeJson(json);
        const QJsonObject root = json.value("root").toObject();
        const QJsonObject leaf = root.value("children").toObject().value("-5").toObject();
        QVERIFY(root.value("children").toObject().contains("-5"));
        QVERIFY(leaf.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWendleBall)
#include "tst_wendleball.moc"

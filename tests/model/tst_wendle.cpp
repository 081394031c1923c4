#include "RatioContext.h"
#include "Wendle.h"
#include "WendleBall.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <functional>

namespace {

using u128 = unsigned __int128;

// Exact ratios formed apart from the code under test, in 128 bits.
struct Exact
{
    u128 n = 1;
    u128 d = 1;
    bool fits() const { return n <= u128(~quint64(0)) && d <= u128(~quint64(0)); }
};

Exact reduced(u128 n, u128 d)
{
    u128 a = n, b = d;
    while (b)
        a = std::exchange(b, a % b);
    return { n / a, d / a };
}

// Cross-cancelled first so that the products stay within 128 bits.
Exact times(const Exact& a, const Exact& b)
{
    const Exact x = reduced(a.n, b.d), y = reduced(b.n, a.d);
    return { x.n * y.n, y.d * x.d };
}

Exact productOf(const QList<int>& steps)
{
    Exact r;
    for (int s : steps) {
        const int p = std::abs(s);
        u128 octave = 1;
        while (p != 2 && octave * 2 < u128(p))
            octave *= 2;
        r = times(r, s > 0 ? Exact { u128(p), octave } : Exact { octave, u128(p) });
    }
    return r;
}

WendleRatio ratioOf(const Exact& e) { return WendleRatio(quint64(e.n), quint64(e.d)); }

WendleRatio ratioOf(const QString& text)
{
    const QStringList nd = text.split('/');
    return WendleRatio(nd[0].toULongLong(), nd[1].toULongLong());
}

QString text(const WendleRatio& r) { return QStringLiteral("%1/%2").arg(r.numerator()).arg(r.denominator()); }

// JSON written in the tables with single quotes for readability.
QJsonObject json(QByteArray text) { return QJsonDocument::fromJson(text.replace('\'', '"')).object(); }

// Every ball of the tree, each before its children, children in ascending step order.
QList<WendleBall*> preOrder(WendleBall* root)
{
    QList<WendleBall*> out { root };
    for (WendleBall* c : std::as_const(root->children))
        out += preOrder(c);
    return out;
}

QMap<QString, WendleBall*> byPath(WendleBall* root)
{
    QMap<QString, WendleBall*> map;
    for (WendleBall* b : preOrder(root))
        map.insert(b->path.toString(), b);
    return map;
}

// Every lattice and ball signal, logged in the order emitted.
class Recorder : public QObject
{
public:
    explicit Recorder(Wendle& w)
    {
        const auto r = [this](QString name) { return [this, name](WendleRatio x) { log << name + " " + text(x); }; };
        const auto rb = [this](QString name) {
            return [this, name](WendleRatio x, bool on) { log << name + " " + text(x) + (on ? " true" : " false"); };
        };
        connect(&w, &Wendle::transposeOrBaseFrequencyChanged, this, [this] { log << "transposeOrBaseFrequencyChanged"; });
        connect(&w, &Wendle::showNodesInStack, this, [this] { log << "showNodesInStack"; });
        connect(&w, &Wendle::resetNodeStack, this, [this] { log << "resetNodeStack"; });
        connect(&w, &Wendle::showCard, this, r("showCard"));
        connect(&w, &Wendle::hideCard, this, r("hideCard"));
        connect(&w, &Wendle::addNodeToStack, this, r("addNodeToStack"));
        connect(&w, &Wendle::removeNodeInStack, this, r("removeNodeInStack"));
        connect(&w, &Wendle::toggleNodeInStack, this, rb("toggleNodeInStack"));
        connect(&w, &Wendle::selectNodeInStack, this, rb("selectNodeInStack"));
        connect(&w, &Wendle::setHoldNodeInStack, this, rb("setHoldNodeInStack"));
        connect(&w, &Wendle::setAlteredNodeInStack, this, rb("setAlteredNodeInStack"));
        for (WendleBall* b : preOrder(w.root)) {
            const auto f = [this, p = b->path.toString()](QString flag) {
                return [this, p, flag](bool on) { log << p + " " + flag + (on ? " true" : " false"); };
            };
            connect(b, &WendleBall::playingChanged, this, f("playing"));
            connect(b, &WendleBall::enabledChanged, this, f("enabled"));
            connect(b, &WendleBall::selectedChanged, this, f("selected"));
            connect(b, &WendleBall::holdChanged, this, f("hold"));
            connect(b, &WendleBall::alteredChanged, this, f("altered"));
        }
    }

    QStringList take() { return std::exchange(log, {}); }

    QStringList log;
};

// The private slots, reached the way a queued connection reaches them.
bool stateSlot(Wendle& w, const char* slot, const WendleRatio& r, bool on)
{
    return QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection, Q_ARG(WendleRatio, r), Q_ARG(bool, on));
}
bool transposed(Wendle& w, const WendleRatio& r, int prime)
{
    return QMetaObject::invokeMethod(&w, "onTransposed", Qt::DirectConnection, Q_ARG(WendleRatio, r), Q_ARG(int, prime));
}
bool baseFrequency(Wendle& w, float f)
{
    return QMetaObject::invokeMethod(&w, "onBaseFrequencyChanged", Qt::DirectConnection, Q_ARG(float, f));
}

const struct { const char* ball; const char* link; } kPlane[] = {
    { "/-2", nullptr }, { "/-2/-2", nullptr }, { "/-2/-2/3", "/-2/3" }, { "/-2/-2/3/3", "/-2/3/3" },
    { "/-2/-3", "/-3" }, { "/-2/3", "/3" }, { "/-2/3/3", "/3/3" }, { "/2", nullptr },
    { "/2/-3", nullptr }, { "/2/-3/-3", nullptr }, { "/2/-3/-3/-3", nullptr }, { "/2/3", nullptr },
    { "/2/3/3", nullptr }, { "/-3", "/2/-3" }, { "/-3/-3", "/2/-3/-3" }, { "/-3/-3/-3", "/2/-3/-3/-3" },
    { "/3", "/2/3" }, { "/3/3", "/2/3/3" },
};

const struct { int key, r, g, b; } kColours[] = {
    { 0, 183, 183, 183 }, { 1, 32, 32, 32 }, { 2, 91, 91, 91 }, { 3, 81, 115, 182 }, { 5, 156, 4, 4 },
    { 7, 40, 56, 208 }, { 11, 180, 97, 16 }, { 13, 113, 0, 113 }, { 17, 7, 116, 7 }, { 19, 153, 153, 0 },
    { 23, 0, 91, 91 }, { 29, 119, 92, 66 }, { 31, 42, 157, 123 },
};

QColor defaultColour(int key)
{
    const auto c = std::find_if(std::begin(kColours), std::end(kColours), [key](const auto& c) { return c.key == key; });
    return c == std::end(kColours) ? QColor() : QColor(c->r, c->g, c->b);
}

QStringList gCaught;

void catchDebug(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg)
        gCaught << message;
}

} // namespace

// Emits what the sound engine emits, for the connections of `init`.
class FakeEngine : public QObject
{
    Q_OBJECT

signals:
    void noteToggled(WendleRatio ratio, bool on);
    void nodeSelected(WendleRatio ratio, bool selected);
    void nodeHold(WendleRatio ratio, bool hold);
    void nodeAltered(WendleRatio ratio, bool altered);
    void transposed(WendleRatio ratio, int prime);
    void baseFrequencyChanged(float freq);
    void primeEnabledToggled(int prime, bool enabled);
    void removeNodeInStack(WendleRatio ratio);
    void nodesRecalled();
};

class TestWendle : public QObject
{
    Q_OBJECT

    QTemporaryDir mHome;
    QString mConfig;
    QString mFile;
    const bool mRawTexts = false;

    // 19 balls on the 2-3 plane, each with its ±5..±31 leaves: 361 balls,
    // every one indexed under its own ratio.
    void checkDefaultTree(Wendle& w)
    {
        const QList<WendleBall*> all = preOrder(w.root);
        const QMap<QString, WendleBall*> paths = byPath(w.root);
        QCOMPARE(all.size(), 361);
        QCOMPARE(paths.size(), 361);
        QCOMPARE(w.ratioIndex().size(), 361);
        QMap<QString, QString> plane { { "/", QString() } };
        for (const auto& e : kPlane)
            plane.insert(e.ball, e.link);
        QVERIFY(w.root->colour == defaultColour(1) && w.root->parent() == &w && w.root->links.isEmpty());
        int leaves = 0;
        for (WendleBall* b : all) {
            const QString p = b->path.toString();
            QCOMPARE(w.ballOf(ratioOf(productOf(b->path.toList()))), b);
            if (b == w.root)
                continue;
            const int last = b->path.steps[b->path.size() - 1];
            WendlePath up = b->path;
            up.dropLast();
            WendleBall* parent = paths.value(up.toString());
            QVERIFY2(parent && b->parent() == parent && parent->children.value(last) == b, qPrintable(p));
            QCOMPARE(b->colour, defaultColour(std::abs(last)));
            if (!plane.contains(p)) {
                ++leaves;
                QVERIFY2(plane.contains(up.toString()) && std::abs(last) >= 5 && b->children.isEmpty() && b->links.isEmpty(), qPrintable(p));
            } else if (plane.value(p).isEmpty()) {
                QVERIFY2(b->links.isEmpty(), qPrintable(p));
            } else {
                QCOMPARE(b->links.keys(), QList<qint32> { 2 });
                QCOMPARE(b->links.value(2).target.toString(), plane.value(p));
                QCOMPARE(b->links.value(2).colour, defaultColour(2));
            }
        }
        QCOMPARE(leaves, 342);
    }

    QByteArray fileBytes() const
    {
        QFile f(mFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(mHome.isValid());
        qputenv("XDG_DATA_HOME", mHome.path().toUtf8());
        mConfig = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QVERIFY(mConfig.startsWith(mHome.path()));
        mFile = mConfig + "/wendle_v2.json";
        qRegisterMetaType<WendleRatio>("WendleRatio");
        RatioContext::bindWithinOctave(&mRawTexts);
    }

    void cleanupTestCase() { RatioContext::bindWithinOctave(nullptr); }

    void init()
    {
        QDir(mConfig).removeRecursively();
        QVERIFY(QDir().mkpath(mConfig));
    }

    // A fresh folder gets the defaults; reading them back and saving gives the same bytes.
    void defaultsWrittenAndReadBack()
    {
        Wendle w;
        QVERIFY(!w.autoSaveEnabled());
        QCOMPARE(w.primeColor(3), QColor(Qt::white));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Wendle::initWithDefaults - mPrimeColors:"));
        QVERIFY(w.init(nullptr));
        QCOMPARE(w.filePath(), mFile);
        checkDefaultTree(w);
        if (QTest::currentTestFailed())
            return;

        const QByteArray bytes = fileBytes();
        const QJsonObject top = QJsonDocument::fromJson(bytes).object();
        QVERIFY(bytes.startsWith("{\n    \""));
        QCOMPARE(top.keys(), QStringList({ "colors", "root" }));
        QJsonArray colors;
        for (const auto& c : kColours)
            colors.append(QJsonObject { { "prime", c.key }, { "color", QString::asprintf("#%02x%02x%02x", c.r, c.g, c.b) } });
        QCOMPARE(top.value("colors").toArray(), colors);
        const QJsonObject children = top.value("root").toObject().value("children").toObject();
        QCOMPARE(children.value("-2").toObject().value("children").toObject().value("-3").toObject().value("links"),
                 QJsonValue(json("{'2': '/-3'}")));
        QVERIFY(children.value("31").isObject() && children.value("31").toObject().isEmpty());
        QCOMPARE(w.primeColor(-5), defaultColour(5));
        QCOMPARE(w.primeColor(37), QColor(Qt::white));
        QCOMPARE(w.primeColor(std::numeric_limits<int>::min()), QColor(Qt::white));

        Wendle again;
        QVERIFY(again.init(nullptr));
        checkDefaultTree(again);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(again.primeColors, w.primeColors);
        QVERIFY(again.save());
        QCOMPARE(fileBytes(), bytes);
        // Auto-save never writes the lattice.
        again.root->children.value(3)->addLink("/5");
        again.autoSave();
        QCOMPARE(fileBytes(), bytes);
    }

    void initFromFile_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: a folder in the file's place
        QTest::addColumn<QString>("error");
        QTest::newRow("not JSON") << QByteArray("this is not a lattice") << "^Couldn't parse file .*wendle_v2\\.json\\. JSON error: ";
        QTest::newRow("truncated") << QByteArray("{\n    \"colors\": [\n        {\n") << "^Couldn't parse file ";
        QTest::newRow("unopenable") << QByteArray() << "^Couldn't open file .*wendle_v2\\.json for loading\\.$";
        QTest::newRow("array: empty lattice") << QByteArray("[1, 2, 3]") << QString();
    }

    // A file that cannot be read fails init and connects nothing; otherwise
    // each engine signal reaches its slot, queued.
    void initFromFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        QFile f(mFile);
        QVERIFY(content.isNull() ? QDir().mkpath(mFile) : f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        f.close();
        Wendle w;
        FakeEngine engine;
        if (!error.isEmpty())
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(error));
        QCOMPARE(w.init(&engine), error.isEmpty());
        QVERIFY(w.root->children.isEmpty() && w.primeColors.isEmpty());
        Recorder rec(w);
        auto ball = new WendleBall(WendlePath::fromSteps({ 5 }), Qt::white, w.root);
        w.root->children.insert(5, ball);
        w.refreshRatios();
        rec.take();

        emit engine.noteToggled(WendleRatio(3, 2), true);
        emit engine.nodeSelected(WendleRatio(5, 4), true);
        emit engine.nodeHold(WendleRatio(7, 4), true);
        emit engine.nodeAltered(WendleRatio(2, 3), true);
        emit engine.removeNodeInStack(WendleRatio(7, 5));
        emit engine.nodesRecalled();
        emit engine.baseFrequencyChanged(432.0f);
        emit engine.primeEnabledToggled(5, false);
        emit engine.transposed(WendleRatio(4, 5), -5);
        QVERIFY(rec.log.isEmpty());
        QCoreApplication::processEvents();
        if (!error.isEmpty()) {
            QVERIFY(rec.log.isEmpty());
            return;
        }
        QVERIFY(w.playingSet.contains(WendleRatio(3, 2)) && w.holdSet.contains(WendleRatio(7, 4)));
        QVERIFY(w.alteredSet.contains(WendleRatio(2, 3)));
        QVERIFY(rec.log.contains("removeNodeInStack 7/5") && rec.log.contains("showNodesInStack"));
        QCOMPARE(w.baseFrequency, 432.0f);
        QVERIFY(!ball->enabled);
        QCOMPARE(w.transpositionPath(), QList<int>({ -5 }));
        // Under 4/5 the selected 5/4 was re-keyed: the ball /5 now sounds 1/1.
        QVERIFY(!ball->selected);
        QCOMPARE(w.ballOf(WendleRatio(1, 1)), ball);
    }

    // The old tree goes; the new one takes the file's colours and is indexed at once.
    void readJsonReplacesTree()
    {
        Wendle w;
        w.initWithDefaults();
        QPointer<WendleBall> oldRoot = w.root;
        QPointer<WendleBall> oldChild = w.root->children.value(3);
        const QJsonObject root = json("{'children': {'3': {'children': {'-3': {}, '5': {}}, 'links': {'3': '/-3'}}, '5': {'children': {'3': {}}}}}");
        w.primeColors.clear();
        // Primes are truncated, a later entry replaces an earlier one, keys outside int are skipped.
        QTest::ignoreMessage(QtWarningMsg, "Lattice file: colour with prime 2.14748e+09 ignored");
        QTest::ignoreMessage(QtWarningMsg, "Lattice file: colour with prime -1e+300 ignored");
        w.readJson(json("{'colors': [{'prime': -3.7, 'color': '#04010203'}, {'prime': 1, 'color': '#111111'}, {'prime': 3, 'color': 'red'},"
                        "{'prime': 3, 'color': '#333333'}, {'prime': 2147483648, 'color': '#444444'}, {'prime': -1e300, 'color': '#444444'},"
                        "{'prime': 7, 'color': 'nonsense'}], 'root': " + QJsonDocument(root).toJson() + "}"));
        QStringList colours;
        for (auto it = w.primeColors.begin(); it != w.primeColors.end(); ++it)
            colours << QStringLiteral("%1=%2").arg(it.key()).arg(it.value().isValid() ? it.value().name(QColor::HexArgb) : "invalid");
        QCOMPARE(colours, QStringList({ "-3=#04010203", "1=#ff111111", "3=#ff333333", "7=invalid" }));
        QVERIFY(oldRoot.isNull() && oldChild.isNull());
        QCOMPARE(w.root->parent(), &w);
        QCOMPARE(w.findChildren<WendleBall*>().size(), 6);
        const QMap<QString, WendleBall*> balls = byPath(w.root);
        QCOMPARE(balls.keys(), QStringList({ "/", "/3", "/3/-3", "/3/5", "/5", "/5/3" }));
        QCOMPARE(w.root->colour, QColor(0x11, 0x11, 0x11));
        QCOMPARE(balls.value("/3")->colour, QColor(0x33, 0x33, 0x33));
        QCOMPARE(balls.value("/3")->links.value(3).colour, QColor(0x33, 0x33, 0x33));
        QCOMPARE(balls.value("/5")->colour, QColor(Qt::white));
        // Equal ratios: the later ball in tree order owns the key.
        QCOMPARE(w.ratioIndex().size(), 4);
        QCOMPARE(w.ballOf(WendleRatio(1, 1)), balls.value("/3/-3"));
        QCOMPARE(w.ballOf(WendleRatio(15, 8)), balls.value("/5/3"));
        QCOMPARE(w.ballOf(WendleRatio(3, 2)), balls.value("/3"));

        // Written back with colours in key order, alpha only where not opaque.
        w.primeColors.remove(7);
        QJsonObject out;
        w.writeJson(out);
        QCOMPARE(out.value("root").toObject(), root);
        QCOMPARE(out.value("colors"), QJsonValue(json("{'c': [{'prime': -3, 'color': '#04010203'}, {'prime': 1, 'color': '#111111'},"
                                                      "{'prime': 3, 'color': '#333333'}]}").value("c")));

        w.readJson(QJsonObject());
        QVERIFY(w.root->children.isEmpty());
        QCOMPARE(w.findChildren<WendleBall*>().size(), 1);
    }

    void stateSlots_data()
    {
        QTest::addColumn<QString>("slot");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QStringList>("freeOn");
        QTest::addColumn<QStringList>("freeOff");
        QTest::newRow("playing") << "onNoteToggled" << "playing"
                                 << QStringList { "addNodeToStack 13/11", "toggleNodeInStack 13/11 true", "showCard 13/11" }
                                 << QStringList { "toggleNodeInStack 13/11 false", "hideCard 13/11" };
        const struct { const char* slot; const char* flag; QString stack; } others[] = {
            { "onNodeSelected", "selected", "selectNodeInStack" }, { "onNodeHold", "hold", "setHoldNodeInStack" },
            { "onNodeAltered", "altered", "setAlteredNodeInStack" },
        };
        for (const auto& o : others)
            QTest::newRow(o.flag) << o.slot << o.flag << QStringList { o.stack + " 13/11 true" } << QStringList { o.stack + " 13/11 false" };
    }

    // A ratio with a ball sets the ball's flag; one without goes to the stack.
    void stateSlots()
    {
        QFETCH(QString, slot);
        QFETCH(QString, flag);
        QFETCH(QStringList, freeOn);
        QFETCH(QStringList, freeOff);
        const QByteArray name = slot.toLatin1();
        Wendle w;
        w.initWithDefaults();
        Recorder rec(w);
        QSet<WendleRatio>* set = flag == "playing" ? &w.playingSet : flag == "selected" ? &w.selectedSet
                               : flag == "hold"    ? &w.holdSet : &w.alteredSet;
        const WendleRatio onBall(9, 8), free(13, 11);

        QVERIFY(stateSlot(w, name, onBall, true));
        QCOMPARE(rec.take(), QStringList({ "/-2/3/3 " + flag + " true" }));
        QVERIFY(stateSlot(w, name, onBall, true));
        QCOMPARE(rec.take(), QStringList());
        QVERIFY(stateSlot(w, name, free, true));
        QCOMPARE(rec.take(), freeOn);
        QCOMPARE(*set, QSet<WendleRatio>({ onBall, free }));
        QVERIFY(stateSlot(w, name, free, false));
        QCOMPARE(rec.take(), freeOff);
        QVERIFY(stateSlot(w, name, onBall, false));
        QCOMPARE(rec.take(), QStringList({ "/-2/3/3 " + flag + " false" }));
        QVERIFY(set->isEmpty());
    }

    void transposition_data()
    {
        // "p" a prime step, "0" a reset, "1000:n/d" by a ratio; with "ignored" the last one is refused.
        QTest::addColumn<QStringList>("ops");
        QTest::addColumn<bool>("ignored");
        QTest::addColumn<QList<int>>("path");
        QTest::addColumn<QString>("unisonBall");
        QTest::newRow("3") << QStringList { "3" } << false << QList<int> { 3 } << "/-3";
        QTest::newRow("3, 5, -3") << QStringList { "3", "5", "-3" } << false << QList<int> { 5 } << "/-5";
        QTest::newRow("3, -3, -3") << QStringList { "3", "-3", "-3" } << false << QList<int> { -3 } << "/3";
        QTest::newRow("2, -2") << QStringList { "2", "-2" } << false << QList<int> {} << "/";
        QTest::newRow("3, 3 then reset") << QStringList { "3", "3", "0" } << false << QList<int> {} << "/";
        QTest::newRow("ratio 9/8") << QStringList { "1000:9/8" } << false << QList<int> { 3, 3, -2 } << "/2/-3/-3";
        QTest::newRow("3 then ratio 4/3") << QStringList { "3", "1000:4/3" } << false << QList<int> { -3, 2 } << "/-2/3";
        QTest::newRow("ratio then prime") << QStringList { "1000:9/8", "-3" } << false << QList<int> { 3, -2 } << "/2/-3";
        for (const char* op : { "3:0/1", "0:0/1", "1:9/4", "-1:9/4", "4:9/4", "37:9/4", "999:9/4", "-1000:9/4" })
            QTest::newRow(op) << QStringList { "3", op } << true << QList<int> { 3 } << "/-3";
    }

    // Every ball is re-keyed to its path's ratio times the transposition.
    void transposition()
    {
        QFETCH(QStringList, ops);
        QFETCH(bool, ignored);
        QFETCH(QList<int>, path);
        QFETCH(QString, unisonBall);
        Wendle w;
        FakeEngine engine;
        QVERIFY(w.init(&engine));
        Exact t;
        for (const QString& op : ops) {
            const int prime = op.section(':', 0, 0).toInt();
            const WendleRatio r = op.contains(':') ? ratioOf(op.section(':', 1)) : ratioOf(prime ? times(t, productOf({ prime })) : Exact {});
            if (ignored && &op == &ops.last()) {
                Recorder rec(w);
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Transposition by .* ignored"));
                QVERIFY(transposed(w, r, prime));
                QCOMPARE(rec.take(), QStringList());
            } else {
                QVERIFY(transposed(w, r, prime));
                t = { r.numerator(), r.denominator() };
            }
        }
        QCOMPARE(w.transpositionPath(), path);
        QCOMPARE(w.transpositionRatio, ratioOf(productOf(path)));
        const WendleBall* unison = w.ballOf(WendleRatio(1, 1));
        QCOMPARE(unison ? unison->path.toString() : QString(), unisonBall);
        QCOMPARE(w.ratioIndex().size(), 361);
        for (WendleBall* b : preOrder(w.root))
            QCOMPARE(w.ballOf(ratioOf(times(productOf(b->path.toList()), t))), b);
        QCOMPARE(RatioContext::transposition().ratio, w.transpositionRatio.ratio);
        QCOMPARE(RatioContext::transposition().pathRatio, w.transpositionRatio.ratio);
        // Ratios read the lattice that the engine follows: a second one, loaded
        // and transposed on its own, leaves that transposition alone.
        Wendle second;
        QVERIFY(second.init(nullptr));
        QVERIFY(transposed(second, WendleRatio(5, 4), 5));
        QCOMPARE(RatioContext::transposition().ratio, w.transpositionRatio.ratio);
    }

    // A transposition clears every flag in tree order, then replays the sets
    // in order: playing, selected, hold, altered.
    void refreshReplaysSetsInOrder()
    {
        Wendle w;
        w.initWithDefaults();
        const QMap<QString, WendleBall*> balls = byPath(w.root);
        // The ball of each reported ratio under 3/2, if any.
        const struct { const char* slot; const char* flag; const char* ratio; const char* after; } reports[] = {
            { "onNoteToggled", "playing", "3/2", "/" },         { "onNoteToggled", "playing", "7/5", "" },
            { "onNoteToggled", "playing", "16/27", "" },        { "onNoteToggled", "playing", "1/1", "/-3" },
            { "onNodeSelected", "selected", "9/8", "/-2/3" },   { "onNodeSelected", "selected", "13/11", "" },
            { "onNodeHold", "hold", "5/4", "/-3/5" },           { "onNodeAltered", "altered", "11/7", "" },
            { "onNodeAltered", "altered", "3/2", "/" },
        };
        QMap<QPair<QString, QString>, QString> after;
        for (const auto& r : reports) {
            QVERIFY(stateSlot(w, r.slot, ratioOf(r.ratio), true));
            after.insert({ r.flag, r.ratio }, r.after);
        }
        QStringList expected { "/ playing false", "/-2/3/3 selected false", "/2/-3/-3/-3 playing false", "/3 playing false",
                               "/3 altered false", "/5 hold false", "resetNodeStack" };
        const struct { const char* flag; QSet<WendleRatio>* set; const char* stack; } order[] = {
            { "playing", &w.playingSet, nullptr }, { "selected", &w.selectedSet, "selectNodeInStack" },
            { "hold", &w.holdSet, "setHoldNodeInStack" }, { "altered", &w.alteredSet, "setAlteredNodeInStack" },
        };
        for (const auto& o : order) {
            for (const WendleRatio& r : std::as_const(*o.set)) {
                const QString ball = after.value({ o.flag, text(r) }), flag = o.flag;
                if (!ball.isEmpty())
                    expected << ball + " " + flag + " true";
                else
                    expected << "addNodeToStack " + text(r);
                if (flag == "playing")
                    expected << (ball.isEmpty() ? QStringList { "toggleNodeInStack " + text(r) + " true", "showCard " + text(r) }
                                                : QStringList { "hideCard " + text(r) });
                else if (ball.isEmpty())
                    expected << QString(o.stack) + " " + text(r) + " true";
            }
        }
        expected << "transposeOrBaseFrequencyChanged";

        Recorder rec(w);
        QVERIFY(transposed(w, WendleRatio(3, 2), 3));
        QCOMPARE(rec.take(), expected);
        QCOMPARE(w.playingSet.size() + w.selectedSet.size() + w.holdSet.size() + w.alteredSet.size(), 9);
        QVERIFY(balls.value("/-3")->playing && !balls.value("/3")->playing && balls.value("/-3/5")->hold);
    }

    void baseFrequency()
    {
        Wendle w;
        w.initWithDefaults();
        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(3, 2), true));
        QVERIFY(stateSlot(w, "onNodeHold", WendleRatio(7, 5), true));
        Recorder rec(w);
        QVERIFY(::baseFrequency(w, 440.0f));
        QCOMPARE(rec.take(), QStringList());
        QVERIFY(::baseFrequency(w, 261.5f));
        QCOMPARE(w.baseFrequency, 261.5f);
        QCOMPARE(rec.take(), QStringList({ "/3 playing false", "resetNodeStack", "/3 playing true", "hideCard 3/2",
                                           "addNodeToStack 7/5", "setHoldNodeInStack 7/5 true", "transposeOrBaseFrequencyChanged" }));
    }

    void primeToggles_data()
    {
        // Positive entries switch a prime on, negative ones off.
        QTest::addColumn<QList<int>>("ops");
        QTest::newRow("5 off, on") << QList<int> { -5, 5 };
        QTest::newRow("1 off, on") << QList<int> { -1, 1 };
        QTest::newRow("5 off, 1 off, 1 on") << QList<int> { -5, -1, 1 };
        QTest::newRow("1 off, 5 off, 1 on") << QList<int> { -1, -5, 1 };
        QTest::newRow("5 off, 1 off, 5 on") << QList<int> { -5, -1, 5 };
        QTest::newRow("2 off, 3 off, 2 on") << QList<int> { -2, -3, 2 };
        QTest::newRow("5 off twice") << QList<int> { -5, -5 };
    }

    // A ball is enabled when 1 and every prime on its path are, and says so only on a change.
    void primeToggles()
    {
        QFETCH(QList<int>, ops);
        Wendle w;
        w.initWithDefaults();
        Recorder rec(w);
        const auto enabledUnder = [](const QSet<int>& off, const WendleBall* b) {
            bool on = !off.contains(1);
            for (int s : b->path.toList())
                on = on && !off.contains(std::abs(s));
            return on;
        };
        QSet<int> off;
        for (int op : ops) {
            const QSet<int> before = off;
            if (op < 0)
                off.insert(-op);
            else
                off.remove(op);
            QVERIFY(QMetaObject::invokeMethod(&w, "onPrimeEnabledToggled", Qt::DirectConnection, Q_ARG(int, std::abs(op)), Q_ARG(bool, op > 0)));
            QStringList expected;
            for (WendleBall* b : preOrder(w.root)) {
                QVERIFY2(b->enabled == enabledUnder(off, b), qPrintable(b->path.toString()));
                if (enabledUnder(before, b) != b->enabled)
                    expected << b->path.toString() + (b->enabled ? " enabled true" : " enabled false");
            }
            QStringList got = rec.take();
            got.sort();
            expected.sort();
            QCOMPARE(got, expected);
        }
    }

    void canTransposeTo_data()
    {
        QTest::addColumn<float>("base");
        QTest::addColumn<int>("prime");
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("accepted"); // -1: not counted
        QTest::addColumn<QString>("reason");
        QTest::newRow("down to exactly 20 Hz") << 640.0f << -2 << "1/2" << 5 << "frequency";
        QTest::newRow("down to just below 20 Hz") << std::nextafter(640.0f, 0.0f) << -2 << "1/2" << 4 << "frequency";
        QTest::newRow("up to exactly 20000 Hz") << 625.0f << 2 << "2/1" << 5 << "frequency";
        QTest::newRow("up to just above 20000 Hz") << std::nextafter(625.0f, 1000.0f) << 2 << "2/1" << 4 << "frequency";
        QTest::newRow("31 up") << 440.0f << 31 << "31/16" << 5 << "frequency";
        QTest::newRow("31 down") << 440.0f << -31 << "16/31" << 4 << "frequency";
        QTest::newRow("31/29 by ratio") << 440.0f << 1000 << "31/29" << -1 << "exactness";
        QTest::newRow("29/31 by ratio") << 440.0f << 1000 << "29/31" << -1 << "exactness";
    }

    // Step on until the lattice refuses, for its reason: 1/1 out of 20..20000 Hz
    // (both limits pass), or some ball's ratio no longer exact in 64 bits.
    // Every key stays exact on the way.
    void canTransposeTo()
    {
        QFETCH(float, base);
        QFETCH(int, prime);
        QFETCH(QString, step);
        QFETCH(int, accepted);
        QFETCH(QString, reason);
        Wendle w;
        w.initWithDefaults();
        QVERIFY(::baseFrequency(w, base));
        const QList<WendleBall*> balls = preOrder(w.root);
        const WendleRatio stepRatio = ratioOf(step);
        const Exact s { stepRatio.numerator(), stepRatio.denominator() };
        Exact t;
        for (int done = 0;; ++done) {
            const Exact next = times(t, s);
            bool exact = true;
            for (WendleBall* b : balls)
                exact = exact && times(productOf(b->path.toList()), next).fits();
            const float f = next.fits() ? float(quint64(next.n)) / float(quint64(next.d)) * base : 0.0f;
            const bool inRange = next.fits() && f >= 20.0f && f <= 20000.0f;
            gCaught.clear();
            const QtMessageHandler previous = qInstallMessageHandler(catchDebug);
            const bool allowed = w.canTransposeTo(stepRatio);
            qInstallMessageHandler(previous);
            QCOMPARE(allowed, inRange && exact);
            if (!allowed) {
                QVERIFY(done > 0);
                if (accepted >= 0)
                    QCOMPARE(done, accepted);
                QCOMPARE(inRange ? QStringLiteral("exactness") : QStringLiteral("frequency"), reason);
                QCOMPARE(gCaught.size(), inRange ? 2 : 0);
                if (inRange) {
                    // The refusal names a ball whose product no longer fits, in the shortest form that reads back.
                    const QRegularExpressionMatch m1 = QRegularExpression("^canMultiply fail on (\\d+/\\d+) \\* " + step
                                                                          + ":\\n  test product: \\S+, real product: (\\S+)$").match(gCaught[0]);
                    QVERIFY2(m1.hasMatch(), qPrintable(gCaught[0]));
                    const WendleRatio key = ratioOf(m1.captured(1));
                    QVERIFY(w.ballOf(key));
                    QVERIFY(!times({ key.numerator(), key.denominator() }, s).fits());
                    const double real = double(key.numerator()) / double(key.denominator()) * (double(s.n) / double(s.d));
                    QCOMPARE(m1.captured(2), QString::number(real, 'g', QLocale::FloatingPointShortest));
                    QCOMPARE(gCaught[1], QStringLiteral("canTransposeTo fail on %1 to %2:\n  ball: %3 at %4 can't be played")
                                             .arg(text(w.transpositionRatio), step, w.ballOf(key)->path.toString(),
                                                  text(ratioOf(productOf(w.ballOf(key)->path.toList())))));
                }
                break;
            }
            t = next;
            QVERIFY(transposed(w, ratioOf(t), prime));
            QCOMPARE(w.ratioIndex().size(), balls.size());
            for (WendleBall* b : balls)
                QCOMPARE(w.ballOf(ratioOf(times(productOf(b->path.toList()), t))), b);
            QVERIFY(done < 200);
        }
    }
};

QTEST_GUILESS_MAIN(TestWendle)
#include "tst_wendle.moc"

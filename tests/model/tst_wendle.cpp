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
    bool operator==(const Exact&) const = default;
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

Exact times(const Exact& a, const Exact& b)
{
    // Cross-cancel first so that the products stay within 128 bits.
    const Exact x = reduced(a.n, b.d);
    const Exact y = reduced(b.n, a.d);
    return { x.n * y.n, y.d * x.d };
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
    for (int s : steps)
        r = times(r, interval(s));
    return r;
}

Exact exactOf(const WendleRatio& r)
{
    return { r.numerator(), r.denominator() };
}

WendleRatio ratioOf(const Exact& e)
{
    return WendleRatio(quint64(e.n), quint64(e.d));
}

// JSON written in the tables with single quotes for readability.
QJsonObject json(QByteArray text)
{
    return QJsonDocument::fromJson(text.replace('\'', '"')).object();
}

WendlePath pathOf(const QString& text)
{
    WendlePath p;
    p.fromText(text);
    return p;
}

QString text(const WendleRatio& r)
{
    return QStringLiteral("%1/%2").arg(r.numerator()).arg(r.denominator());
}

QString onOff(bool on)
{
    return on ? QStringLiteral("true") : QStringLiteral("false");
}

// Every ball of the tree, each before its children, children in ascending step order.
QList<WendleBall*> preOrder(WendleBall* root)
{
    QList<WendleBall*> out;
    std::function<void(WendleBall*)> visit = [&](WendleBall* b) {
        out << b;
        for (WendleBall* c : std::as_const(b->children))
            visit(c);
    };
    visit(root);
    return out;
}

QMap<QString, WendleBall*> byPath(WendleBall* root)
{
    QMap<QString, WendleBall*> map;
    for (WendleBall* b : preOrder(root))
        map.insert(b->path.toString(), b);
    return map;
}

// The ball that should sound `r` under the transposition `t`: the last one
// in index order whose path ratio times t equals r.
WendleBall* expectedBall(WendleBall* root, const Exact& t, const WendleRatio& r)
{
    WendleBall* found = nullptr;
    for (WendleBall* b : preOrder(root)) {
        if (times(productOf(b->path.toList()), t) == exactOf(r))
            found = b;
    }
    return found;
}

// One log of every lattice and ball signal, in the order emitted.
class Recorder
{
public:
    explicit Recorder(Wendle& lattice)
    {
        QObject* c = &mContext;
        QStringList* l = &log;
        QObject::connect(&lattice, &Wendle::transposeOrBaseFrequencyChanged, c, [l] { *l << "transposeOrBaseFrequencyChanged"; });
        QObject::connect(&lattice, &Wendle::showCard, c, [l](WendleRatio r) { *l << "showCard " + text(r); });
        QObject::connect(&lattice, &Wendle::hideCard, c, [l](WendleRatio r) { *l << "hideCard " + text(r); });
        QObject::connect(&lattice, &Wendle::addNodeToStack, c, [l](WendleRatio r) { *l << "addNodeToStack " + text(r); });
        QObject::connect(&lattice, &Wendle::showNodesInStack, c, [l] { *l << "showNodesInStack"; });
        QObject::connect(&lattice, &Wendle::toggleNodeInStack, c,
                         [l](WendleRatio r, bool on) { *l << "toggleNodeInStack " + text(r) + " " + onOff(on); });
        QObject::connect(&lattice, &Wendle::removeNodeInStack, c, [l](WendleRatio r) { *l << "removeNodeInStack " + text(r); });
        QObject::connect(&lattice, &Wendle::selectNodeInStack, c,
                         [l](WendleRatio r, bool on) { *l << "selectNodeInStack " + text(r) + " " + onOff(on); });
        QObject::connect(&lattice, &Wendle::setHoldNodeInStack, c,
                         [l](WendleRatio r, bool on) { *l << "setHoldNodeInStack " + text(r) + " " + onOff(on); });
        QObject::connect(&lattice, &Wendle::setAlteredNodeInStack, c,
                         [l](WendleRatio r, bool on) { *l << "setAlteredNodeInStack " + text(r) + " " + onOff(on); });
        QObject::connect(&lattice, &Wendle::resetNodeStack, c, [l] { *l << "resetNodeStack"; });
        for (WendleBall* b : preOrder(lattice.root)) {
            const QString p = b->path.toString();
            QObject::connect(b, &WendleBall::playingChanged, c, [l, p](bool on) { *l << p + " playing " + onOff(on); });
            QObject::connect(b, &WendleBall::enabledChanged, c, [l, p](bool on) { *l << p + " enabled " + onOff(on); });
            QObject::connect(b, &WendleBall::selectedChanged, c, [l, p](bool on) { *l << p + " selected " + onOff(on); });
            QObject::connect(b, &WendleBall::holdChanged, c, [l, p](bool on) { *l << p + " hold " + onOff(on); });
            QObject::connect(b, &WendleBall::alteredChanged, c, [l, p](bool on) { *l << p + " altered " + onOff(on); });
        }
    }

    QStringList take()
    {
        const QStringList out = log;
        log.clear();
        return out;
    }

    QStringList log;

private:
    QObject mContext;
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

bool primeToggled(Wendle& w, int prime, bool on)
{
    return QMetaObject::invokeMethod(&w, "onPrimeEnabledToggled", Qt::DirectConnection, Q_ARG(int, prime), Q_ARG(bool, on));
}

QSet<WendleRatio>& setOf(Wendle& w, const QString& flag)
{
    if (flag == "selected")
        return w.selectedSet;
    if (flag == "hold")
        return w.holdSet;
    if (flag == "altered")
        return w.alteredSet;
    return w.playingSet;
}

bool flagOf(const WendleBall* b, const QString& flag)
{
    if (flag == "selected")
        return b->selected;
    if (flag == "hold")
        return b->hold;
    if (flag == "altered")
        return b->altered;
    return b->playing;
}

// The default tree along 2 and 3 and the link each ball gets.
const struct
{
    const char* ball;
    const char* link;
} kPlane[] = {
    { "/-2", nullptr }, { "/-2/-2", nullptr }, { "/-2/-2/3", "/-2/3" }, { "/-2/-2/3/3", "/-2/3/3" },
    { "/-2/-3", "/-3" }, { "/-2/3", "/3" }, { "/-2/3/3", "/3/3" }, { "/2", nullptr },
    { "/2/-3", nullptr }, { "/2/-3/-3", nullptr }, { "/2/-3/-3/-3", nullptr }, { "/2/3", nullptr },
    { "/2/3/3", nullptr }, { "/-3", "/2/-3" }, { "/-3/-3", "/2/-3/-3" }, { "/-3/-3/-3", "/2/-3/-3/-3" },
    { "/3", "/2/3" }, { "/3/3", "/2/3/3" },
};

const int kLeafPrimes[] = { 5, 7, 11, 13, 17, 19, 23, 29, 31 };

const struct
{
    int key, r, g, b;
} kColours[] = {
    { 0, 183, 183, 183 }, { 1, 32, 32, 32 }, { 2, 91, 91, 91 }, { 3, 81, 115, 182 }, { 5, 156, 4, 4 },
    { 7, 40, 56, 208 }, { 11, 180, 97, 16 }, { 13, 113, 0, 113 }, { 17, 7, 116, 7 }, { 19, 153, 153, 0 },
    { 23, 0, 91, 91 }, { 29, 119, 92, 66 }, { 31, 42, 157, 123 },
};

QColor defaultColour(int key)
{
    for (const auto& c : kColours) {
        if (c.key == key)
            return QColor(c.r, c.g, c.b);
    }
    return QColor();
}

int countJsonBalls(const QJsonObject& ball)
{
    int n = 1;
    const QJsonObject children = ball.value("children").toObject();
    for (auto it = children.begin(); it != children.end(); ++it)
        n += countJsonBalls(it.value().toObject());
    return n;
}

// Debug messages caught while a handler of the test's own is installed.
QStringList gCaught;

void catchMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg)
        gCaught << message;
}

} // namespace

// An object that emits what the sound engine emits, for the connections of `init`.
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

    void checkDefaultTree(Wendle& w)
    {
        const QMap<QString, WendleBall*> all = byPath(w.root);
        QCOMPARE(all.size(), 361);
        QCOMPARE(w.root->path, WendlePath());
        QCOMPARE(w.root->colour, defaultColour(1));
        QCOMPARE(w.root->parent(), &w);

        QStringList plane { "/" };
        for (const auto& e : kPlane)
            plane << e.ball;
        QCOMPARE(plane.size(), 19);

        for (const QString& p : std::as_const(plane)) {
            WendleBall* b = all.value(p);
            QVERIFY2(b, qPrintable(p));
            QList<int> expectedKeys;
            for (const QString& q : std::as_const(plane)) {
                WendlePath parent = pathOf(q);
                if (parent.isEmpty())
                    continue;
                const int last = parent.steps[parent.size() - 1];
                parent.dropLast();
                if (parent.toString() == p)
                    expectedKeys << last;
            }
            for (int prime : kLeafPrimes)
                expectedKeys << -prime << prime;
            std::sort(expectedKeys.begin(), expectedKeys.end());
            QCOMPARE(b->children.keys(), expectedKeys);
            for (int prime : kLeafPrimes) {
                for (int step : { -prime, prime }) {
                    const WendleBall* leaf = b->children.value(step);
                    WendlePath expected = b->path;
                    expected.append(qint8(step));
                    QCOMPARE(leaf->path, expected);
                    QCOMPARE(leaf->colour, defaultColour(prime));
                    QCOMPARE(leaf->parent(), b);
                    QVERIFY(leaf->children.isEmpty());
                    QVERIFY(leaf->links.isEmpty());
                }
            }
        }
        for (const auto& e : kPlane) {
            WendleBall* b = all.value(e.ball);
            WendlePath parentPath = b->path;
            const int last = parentPath.steps[parentPath.size() - 1];
            parentPath.dropLast();
            WendleBall* parent = all.value(parentPath.toString());
            QVERIFY(parent);
            QCOMPARE(parent->children.value(last), b);
            QCOMPARE(b->parent(), parent);
            QCOMPARE(b->colour, defaultColour(std::abs(last)));
            if (e.link) {
                QCOMPARE(b->links.keys(), QList<qint32>({ 2 }));
                QCOMPARE(b->links.value(2).target.toString(), QString(e.link));
                QCOMPARE(b->links.value(2).colour, defaultColour(2));
            } else {
                QVERIFY(b->links.isEmpty());
            }
        }
        QVERIFY(w.root->links.isEmpty());

        // Every ball sounds its own ratio: 361 distinct keys.
        QCOMPARE(w.ratioIndex().size(), 361);
        for (WendleBall* b : all)
            QCOMPARE(w.ballOf(ratioOf(productOf(b->path.toList()))), b);
    }

    QByteArray fileBytes() const
    {
        QFile f(mFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void writeFile(const QByteArray& bytes)
    {
        QFile f(mFile);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(bytes), bytes.size());
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
    }

    void init()
    {
        QDir(mConfig).removeRecursively();
        QVERIFY(QDir().mkpath(mConfig));
    }

    void constructorState()
    {
        Wendle w;
        QCOMPARE(QString(w.metaObject()->className()), QStringLiteral("Wendle"));
        QVERIFY(w.root);
        QCOMPARE(w.root->path, WendlePath());
        QCOMPARE(w.root->colour, QColor(Qt::white));
        QCOMPARE(w.root->colour.alpha(), 255);
        QCOMPARE(w.root->parent(), &w);
        QVERIFY(w.root->children.isEmpty());
        QCOMPARE(w.transpositionRatio, WendleRatio(1, 1));
        QCOMPARE(w.baseFrequency, 440.0f);
        QVERIFY(w.transpositionPath().isEmpty());
        QVERIFY(w.primeColors.isEmpty());
        QVERIFY(!w.autoSaveEnabled());
    }

    // A fresh folder: the defaults are built and written, and read back the same.
    void freshFolderWritesDefaults()
    {
        QVERIFY(!QFile::exists(mFile));
        Wendle w;
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Wendle::initWithDefaults - mPrimeColors:"));
        QVERIFY(w.init(nullptr));
        QCOMPARE(w.filePath(), mFile);
        QVERIFY(QFile::exists(mFile));
        checkDefaultTree(w);

        const QByteArray bytes = fileBytes();
        QVERIFY(bytes.startsWith("{\n    \""));
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
        QVERIFY2(!doc.isNull(), qPrintable(error.errorString()));
        const QJsonObject top = doc.object();
        QCOMPARE(top.keys(), QStringList({ "colors", "root" }));
        const QJsonArray colors = top.value("colors").toArray();
        QCOMPARE(colors.size(), 13);
        for (int i = 0; i < 13; ++i) {
            const QJsonObject c = colors.at(i).toObject();
            QCOMPARE(c.keys(), QStringList({ "color", "prime" }));
            QVERIFY(c.value("prime").isDouble());
            QCOMPARE(c.value("prime").toInt(), kColours[i].key);
            QCOMPARE(c.value("color").toString(),
                     QString::asprintf("#%02x%02x%02x", kColours[i].r, kColours[i].g, kColours[i].b));
        }
        const QJsonObject root = top.value("root").toObject();
        QCOMPARE(root.keys(), QStringList({ "children" }));
        QCOMPARE(countJsonBalls(root), 361);
        QCOMPARE(root.value("children").toObject().value("-2").toObject().value("children").toObject()
                     .value("-3").toObject().value("links").toObject().value("2").toString(),
                 QStringLiteral("/-3"));
        QVERIFY(root.value("children").toObject().value("31").toObject().isEmpty());

        // Reading the file back gives the same lattice, and writing it again the same bytes.
        Wendle again;
        QVERIFY(again.init(nullptr));
        checkDefaultTree(again);
        QCOMPARE(again.primeColors, w.primeColors);
        QVERIFY(again.save());
        QCOMPARE(fileBytes(), bytes);
        QVERIFY(w.save());
        QCOMPARE(fileBytes(), bytes);
    }

    void autoSaveNeverWrites()
    {
        Wendle w;
        QVERIFY(w.init(nullptr));
        const QByteArray before = fileBytes();
        w.root->children.value(3)->addLink("/5");
        w.autoSave();
        QCOMPARE(fileBytes(), before);
    }

    void unreadableFileFailsInit_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("this is not a lattice");
        QTest::newRow("truncated") << QByteArray("{\n    \"colors\": [\n        {\n");
        QTest::newRow("trailing comma") << QByteArray("{\"colors\": [],}");
    }

    void unreadableFileFailsInit()
    {
        QFETCH(QByteArray, content);
        writeFile(content);
        Wendle w;
        QPointer<WendleBall> root = w.root;
        FakeEngine engine;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't parse file .*wendle_v2\\.json\\. JSON error: "));
        QVERIFY(!w.init(&engine));
        QVERIFY(root);
        QCOMPARE(w.root, root.data());
        QVERIFY(w.root->children.isEmpty());
        QVERIFY(w.primeColors.isEmpty());
        // Nothing was connected.
        emit engine.noteToggled(WendleRatio(1, 1), true);
        emit engine.transposed(WendleRatio(3, 2), 3);
        QCoreApplication::processEvents();
        QVERIFY(w.playingSet.isEmpty());
        QCOMPARE(w.transpositionRatio, WendleRatio(1, 1));
    }

    void fileThatCannotBeOpenedFailsInit()
    {
        QVERIFY(QDir().mkpath(mFile));
        Wendle w;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't open file .*wendle_v2\\.json for loading\\.$"));
        QVERIFY(!w.init(nullptr));
    }

    void arrayFileGivesEmptyLattice()
    {
        writeFile("[1, 2, 3]");
        Wendle w;
        QVERIFY(w.init(nullptr));
        QVERIFY(w.root);
        QVERIFY(w.root->children.isEmpty());
        QVERIFY(w.primeColors.isEmpty());
        QCOMPARE(w.ratioIndex().size(), 1);
        QCOMPARE(w.ballOf(WendleRatio(1, 1)), w.root);
    }

    // Each engine signal reaches its slot, queued.
    void initConnectsEngineQueued()
    {
        Wendle w;
        FakeEngine engine;
        QVERIFY(w.init(&engine));
        Recorder rec(w);
        const QMap<QString, WendleBall*> balls = byPath(w.root);

        emit engine.noteToggled(WendleRatio(3, 2), true);
        emit engine.nodeSelected(WendleRatio(5, 4), true);
        emit engine.nodeHold(WendleRatio(7, 4), true);
        emit engine.nodeAltered(WendleRatio(2, 3), true);
        emit engine.removeNodeInStack(WendleRatio(7, 5));
        emit engine.nodesRecalled();
        emit engine.baseFrequencyChanged(432.0f);
        emit engine.primeEnabledToggled(7, false);
        emit engine.transposed(WendleRatio(3, 2), 3);
        QVERIFY(rec.log.isEmpty());
        QVERIFY(w.playingSet.isEmpty());

        QCoreApplication::processEvents();
        QVERIFY(w.playingSet.contains(WendleRatio(3, 2)));
        QVERIFY(w.selectedSet.contains(WendleRatio(5, 4)));
        QVERIFY(w.holdSet.contains(WendleRatio(7, 4)));
        QVERIFY(w.alteredSet.contains(WendleRatio(2, 3)));
        QVERIFY(rec.log.contains("removeNodeInStack 7/5"));
        QVERIFY(rec.log.contains("showNodesInStack"));
        QCOMPARE(w.baseFrequency, 432.0f);
        QVERIFY(!balls.value("/7")->enabled);
        QVERIFY(balls.value("/3")->enabled);
        QCOMPARE(w.transpositionRatio, WendleRatio(3, 2));
        QCOMPARE(w.transpositionPath(), QList<int>({ 3 }));
        // Under 3/2 the playing 3/2 is the root's, the selected 5/4 is /-3/5's.
        QVERIFY(w.root->playing);
        QVERIFY(!balls.value("/3")->playing);
        QVERIFY(balls.value("/-3/5")->selected);
        QVERIFY(!balls.value("/5")->selected);
    }

    void readJsonColours_data()
    {
        QTest::addColumn<QByteArray>("colors");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("warnings");
        QTest::newRow("plain") << QByteArray("[{'prime': 3, 'color': '#010203'}]") << QStringList { "3=#ff010203" } << 0;
        QTest::newRow("truncated") << QByteArray("[{'prime': 3.7, 'color': '#010203'}]") << QStringList { "3=#ff010203" } << 0;
        QTest::newRow("negative truncated") << QByteArray("[{'prime': -3.7, 'color': '#010203'}]")
                                            << QStringList { "-3=#ff010203" } << 0;
        QTest::newRow("absent prime") << QByteArray("[{'color': '#010203'}]") << QStringList { "0=#ff010203" } << 0;
        QTest::newRow("later replaces") << QByteArray("[{'prime': 3, 'color': '#010203'}, {'prime': 3, 'color': '#040506'}]")
                                        << QStringList { "3=#ff040506" } << 0;
        QTest::newRow("keyword") << QByteArray("[{'prime': 5, 'color': 'red'}]") << QStringList { "5=#ffff0000" } << 0;
        QTest::newRow("with alpha") << QByteArray("[{'prime': 5, 'color': '#80ff0000'}]") << QStringList { "5=#80ff0000" } << 0;
        QTest::newRow("not a colour") << QByteArray("[{'prime': 5, 'color': 'nonsense'}]") << QStringList { "5=invalid" } << 0;
        QTest::newRow("colour not text") << QByteArray("[{'prime': 5, 'color': 5}]") << QStringList { "5=invalid" } << 0;
        QTest::newRow("largest int") << QByteArray("[{'prime': 2147483647, 'color': '#010203'}]")
                                     << QStringList { "2147483647=#ff010203" } << 0;
        QTest::newRow("beyond int") << QByteArray("[{'prime': 2147483648, 'color': '#010203'}, {'prime': 7, 'color': '#040506'}]")
                                    << QStringList { "7=#ff040506" } << 1;
        QTest::newRow("far beyond int") << QByteArray("[{'prime': 1e300, 'color': '#010203'}, {'prime': -1e10, 'color': '#010203'}]")
                                        << QStringList {} << 2;
        QTest::newRow("not an array") << QByteArray("{'prime': 3, 'color': '#010203'}") << QStringList {} << 0;
    }

    void readJsonColours()
    {
        QFETCH(QByteArray, colors);
        QFETCH(QStringList, expected);
        QFETCH(int, warnings);
        Wendle w;
        for (int i = 0; i < warnings; ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("."));
        w.readJson(json("{'colors': " + colors + "}"));
        QStringList got;
        for (auto it = w.primeColors.begin(); it != w.primeColors.end(); ++it)
            got << QStringLiteral("%1=%2").arg(it.key()).arg(it.value().isValid() ? it.value().name(QColor::HexArgb) : "invalid");
        QCOMPARE(got, expected);
    }

    void readJsonBuildsTreeWithFileColours()
    {
        Wendle w;
        w.readJson(json("{'colors': [{'prime': 1, 'color': '#111111'}, {'prime': 3, 'color': '#333333'}],"
                        "'root': {'children': {'3': {'links': {'3': '/-3'}}, '5': {}}}}"));
        QCOMPARE(w.root->colour, QColor(0x11, 0x11, 0x11));
        QCOMPARE(w.root->children.keys(), QList<qint32>({ 3, 5 }));
        QCOMPARE(w.root->children.value(3)->colour, QColor(0x33, 0x33, 0x33));
        QCOMPARE(w.root->children.value(3)->links.value(3).colour, QColor(0x33, 0x33, 0x33));
        QCOMPARE(w.root->children.value(5)->colour, QColor(Qt::white));
        // The index is rebuilt at once.
        QCOMPARE(w.ratioIndex().size(), 3);
        QCOMPARE(w.ballOf(WendleRatio(5, 4)), w.root->children.value(5));
    }

    void readJsonReplacesRoot()
    {
        Wendle w;
        w.initWithDefaults();
        QPointer<WendleBall> oldRoot = w.root;
        QPointer<WendleBall> oldChild = w.root->children.value(3);
        w.readJson(json("{'root': {'children': {'-3': {}}}}"));
        QVERIFY(oldRoot.isNull());
        QVERIFY(oldChild.isNull());
        QVERIFY(w.root);
        QCOMPARE(w.root->parent(), &w);
        QCOMPARE(w.root->path, WendlePath());
        QCOMPARE(w.root->children.keys(), QList<qint32>({ -3 }));
        QCOMPARE(w.findChildren<WendleBall*>().size(), 2);
        QCOMPARE(w.ratioIndex().size(), 2);
        // An absent root gives a root without children.
        w.readJson(QJsonObject());
        QVERIFY(w.root->children.isEmpty());
        QCOMPARE(w.findChildren<WendleBall*>().size(), 1);
    }

    void writeJsonForm()
    {
        Wendle w;
        w.primeColors.insert(5, QColor(0xAB, 0xCD, 0xEF));
        w.primeColors.insert(-3, QColor(1, 2, 3, 4));
        w.primeColors.insert(2, QColor(0, 0, 0));
        QJsonObject json;
        w.writeJson(json);
        QCOMPARE(json.keys(), QStringList({ "colors", "root" }));
        const QJsonArray colors = json.value("colors").toArray();
        QCOMPARE(colors.size(), 3);
        QCOMPARE(colors.at(0).toObject().value("prime").toInt(), -3);
        QCOMPARE(colors.at(0).toObject().value("color").toString(), QStringLiteral("#04010203"));
        QCOMPARE(colors.at(1).toObject().value("prime").toInt(), 2);
        QCOMPARE(colors.at(1).toObject().value("color").toString(), QStringLiteral("#000000"));
        QCOMPARE(colors.at(2).toObject().value("prime").toInt(), 5);
        QCOMPARE(colors.at(2).toObject().value("color").toString(), QStringLiteral("#abcdef"));
        QVERIFY(json.value("root").toObject().isEmpty());
        QVERIFY(json.value("root").isObject());
    }

    void primeColor_data()
    {
        QTest::addColumn<int>("prime");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("5") << 5 << defaultColour(5);
        QTest::newRow("-5") << -5 << defaultColour(5);
        QTest::newRow("-31") << -31 << defaultColour(31);
        QTest::newRow("0") << 0 << defaultColour(0);
        QTest::newRow("1") << 1 << defaultColour(1);
        QTest::newRow("37") << 37 << QColor(Qt::white);
        QTest::newRow("-37") << -37 << QColor(Qt::white);
        QTest::newRow("4") << 4 << QColor(Qt::white);
        QTest::newRow("smallest int") << std::numeric_limits<int>::min() << QColor(Qt::white);
    }

    void primeColor()
    {
        QFETCH(int, prime);
        QFETCH(QColor, expected);
        Wendle w;
        QCOMPARE(w.primeColor(prime), QColor(Qt::white));
        w.initWithDefaults();
        QCOMPARE(w.primeColor(prime), expected);
        QCOMPARE(w.primeColor(prime).alpha(), 255);
    }

    void noteToggledWithAndWithoutBall()
    {
        Wendle w;
        w.initWithDefaults();
        Recorder rec(w);
        const QMap<QString, WendleBall*> balls = byPath(w.root);

        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(3, 2), true));
        QCOMPARE(rec.take(), QStringList({ "/3 playing true" }));
        QVERIFY(balls.value("/3")->playing);
        QVERIFY(w.playingSet.contains(WendleRatio(3, 2)));

        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(3, 2), true));
        QCOMPARE(rec.take(), QStringList());

        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(7, 5), true));
        QCOMPARE(rec.take(), QStringList({ "addNodeToStack 7/5", "toggleNodeInStack 7/5 true", "showCard 7/5" }));
        QVERIFY(w.playingSet.contains(WendleRatio(7, 5)));

        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(7, 5), false));
        QCOMPARE(rec.take(), QStringList({ "toggleNodeInStack 7/5 false", "hideCard 7/5" }));
        QVERIFY(!w.playingSet.contains(WendleRatio(7, 5)));

        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(3, 2), false));
        QCOMPARE(rec.take(), QStringList({ "/3 playing false" }));
        QVERIFY(!balls.value("/3")->playing);
        QVERIFY(w.playingSet.isEmpty());
    }

    void otherStateSlots_data()
    {
        QTest::addColumn<QString>("slot");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("stackSignal");
        QTest::newRow("selected") << "onNodeSelected" << "selected" << "selectNodeInStack";
        QTest::newRow("hold") << "onNodeHold" << "hold" << "setHoldNodeInStack";
        QTest::newRow("altered") << "onNodeAltered" << "altered" << "setAlteredNodeInStack";
    }

    void otherStateSlots()
    {
        QFETCH(QString, slot);
        QFETCH(QString, flag);
        QFETCH(QString, stackSignal);
        const QByteArray name = slot.toLatin1();
        Wendle w;
        w.initWithDefaults();
        Recorder rec(w);
        const WendleBall* ball = byPath(w.root).value("/-2/3/3");
        const WendleRatio onBall(9, 8);
        const WendleRatio free(13, 11);

        QVERIFY(stateSlot(w, name, onBall, true));
        QCOMPARE(rec.take(), QStringList({ "/-2/3/3 " + flag + " true" }));
        QVERIFY(flagOf(ball, flag));
        QVERIFY(setOf(w, flag).contains(onBall));
        QVERIFY(stateSlot(w, name, onBall, true));
        QCOMPARE(rec.take(), QStringList());

        QVERIFY(stateSlot(w, name, free, true));
        QCOMPARE(rec.take(), QStringList({ stackSignal + " 13/11 true" }));
        QVERIFY(setOf(w, flag).contains(free));
        QVERIFY(stateSlot(w, name, free, false));
        QCOMPARE(rec.take(), QStringList({ stackSignal + " 13/11 false" }));
        QVERIFY(!setOf(w, flag).contains(free));

        QVERIFY(stateSlot(w, name, onBall, false));
        QCOMPARE(rec.take(), QStringList({ "/-2/3/3 " + flag + " false" }));
        QVERIFY(!flagOf(ball, flag));
        QVERIFY(setOf(w, flag).isEmpty());
        QVERIFY(w.playingSet.isEmpty());
    }

    void removeAndRecall()
    {
        Wendle w;
        w.initWithDefaults();
        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(7, 5), true));
        Recorder rec(w);
        QVERIFY(QMetaObject::invokeMethod(&w, "onRemoveNodeInStack", Qt::DirectConnection, Q_ARG(WendleRatio, WendleRatio(7, 5))));
        QCOMPARE(rec.take(), QStringList({ "removeNodeInStack 7/5" }));
        QVERIFY(w.playingSet.contains(WendleRatio(7, 5)));
        QVERIFY(QMetaObject::invokeMethod(&w, "afterMemoryRecall", Qt::DirectConnection));
        QCOMPARE(rec.take(), QStringList({ "showNodesInStack" }));
    }

    void transposition_data()
    {
        QTest::addColumn<QStringList>("ops");
        QTest::addColumn<QList<int>>("path");
        QTest::addColumn<QString>("ratio");
        QTest::addColumn<QString>("unisonBall");
        QTest::newRow("3") << QStringList { "3" } << QList<int> { 3 } << "3/2" << "/-3";
        QTest::newRow("3, -3") << QStringList { "3", "-3" } << QList<int> {} << "1/1" << "/";
        QTest::newRow("3, 5, -3") << QStringList { "3", "5", "-3" } << QList<int> { 5 } << "5/4" << "/-5";
        QTest::newRow("3, -3, -3") << QStringList { "3", "-3", "-3" } << QList<int> { -3 } << "2/3" << "/3";
        QTest::newRow("2, -2") << QStringList { "2", "-2" } << QList<int> {} << "1/1" << "/";
        QTest::newRow("31") << QStringList { "31" } << QList<int> { 31 } << "31/16" << "/-31";
        QTest::newRow("3, 3 then reset") << QStringList { "3", "3", "0" } << QList<int> {} << "1/1" << "/";
        QTest::newRow("ratio 9/8") << QStringList { "1000:9/8" } << QList<int> { 3, 3, -2 } << "9/8" << "/2/-3/-3";
        QTest::newRow("ratio 15/8") << QStringList { "1000:15/8" } << QList<int> { 3, 5 } << "15/8" << "/-3/-5";
        QTest::newRow("3 then ratio 4/3") << QStringList { "3", "1000:4/3" } << QList<int> { -3, 2 } << "4/3" << "/-2/3";
        QTest::newRow("ratio then prime") << QStringList { "1000:9/8", "-3" } << QList<int> { 3, -2 } << "3/4" << "/2/-3";
    }

    void transposition()
    {
        QFETCH(QStringList, ops);
        QFETCH(QList<int>, path);
        QFETCH(QString, ratio);
        QFETCH(QString, unisonBall);
        Wendle w;
        w.initWithDefaults();
        Exact t;
        for (const QString& op : ops) {
            if (op.startsWith("1000:")) {
                const QStringList nd = op.mid(5).split('/');
                t = { nd[0].toULongLong(), nd[1].toULongLong() };
                QVERIFY(transposed(w, ratioOf(t), 1000));
            } else {
                const int prime = op.toInt();
                t = prime == 0 ? Exact {} : times(t, interval(prime));
                QVERIFY(transposed(w, ratioOf(t), prime));
            }
        }
        QCOMPARE(w.transpositionPath(), path);
        QCOMPARE(text(w.transpositionRatio), ratio);
        QCOMPARE(productOf(path), exactOf(w.transpositionRatio));
        QVERIFY(w.ballOf(WendleRatio(1, 1)));
        QCOMPARE(w.ballOf(WendleRatio(1, 1))->path.toString(), unisonBall);
        QCOMPARE(w.ballOf(w.transpositionRatio), w.root);
        QCOMPARE(w.ratioIndex().size(), 361);
        for (WendleBall* b : preOrder(w.root))
            QCOMPARE(w.ballOf(ratioOf(times(productOf(b->path.toList()), t))), b);

        // Ratios read the lattice's transposition.
        const RatioContext::Transposition published = RatioContext::transposition();
        QCOMPARE(published.ratio, w.transpositionRatio.ratio);
        QCOMPARE(published.pathRatio, Rational(quint64(productOf(path).n), quint64(productOf(path).d)));
        QCOMPARE(WendleRatio(5, 4).absoluteRatio(), ratioOf(times(Exact { 5, 4 }, t)).ratio);
        QCOMPARE(w.transpositionRatio.relativeRatio(), Rational(1, 1));
        QCOMPARE(WendleRatio(pathOf("/5")).transposedRatio, ratioOf(times(Exact { 5, 4 }, productOf(path))).ratio);
    }

    void transpositionSignals()
    {
        Wendle w;
        w.initWithDefaults();
        Recorder rec(w);
        QVERIFY(transposed(w, WendleRatio(3, 2), 3));
        QCOMPARE(rec.take(), QStringList({ "resetNodeStack", "transposeOrBaseFrequencyChanged" }));
    }

    void ignoredTranspositions_data()
    {
        QTest::addColumn<QString>("ratio");
        QTest::addColumn<int>("prime");
        QTest::newRow("zero ratio, prime") << "0/1" << 3;
        QTest::newRow("zero ratio, ratio") << "0/1" << 1000;
        QTest::newRow("zero ratio, reset") << "0/1" << 0;
        for (int p : { 1, -1, 4, -4, 9, 32, 37, -128, 127, 999, 1001, -1000 })
            QTest::newRow(qPrintable(QStringLiteral("prime %1").arg(p))) << "9/4" << p;
    }

    void ignoredTranspositions()
    {
        QFETCH(QString, ratio);
        QFETCH(int, prime);
        Wendle w;
        w.initWithDefaults();
        QVERIFY(transposed(w, WendleRatio(3, 2), 3));
        Recorder rec(w);
        const QStringList nd = ratio.split('/');
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("."));
        QVERIFY(transposed(w, WendleRatio(nd[0].toULongLong(), nd[1].toULongLong()), prime));
        QCOMPARE(rec.take(), QStringList());
        QCOMPARE(w.transpositionRatio, WendleRatio(3, 2));
        QCOMPARE(w.transpositionPath(), QList<int>({ 3 }));
        QCOMPARE(RatioContext::transposition().ratio, Rational(3, 2));
        QVERIFY(w.ballOf(WendleRatio(1, 1)));
        QCOMPARE(w.ballOf(WendleRatio(1, 1))->path.toString(), QStringLiteral("/-3"));
    }

    // After a transposition every ball is re-keyed, its flags cleared, and the
    // four sets replayed in order: playing, selected, hold, altered.
    void refreshReplaysSetsInOrder()
    {
        Wendle w;
        w.initWithDefaults();
        const QMap<QString, WendleBall*> balls = byPath(w.root);
        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(3, 2), true));    // /3, then the root
        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(7, 5), true));    // no ball before or after
        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(16, 27), true));  // /2/-3/-3/-3, then none
        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(1, 1), true));    // the root, then /-3
        QVERIFY(stateSlot(w, "onNodeSelected", WendleRatio(9, 8), true));   // /-2/3/3, then /-2/3
        QVERIFY(stateSlot(w, "onNodeSelected", WendleRatio(13, 11), true)); // no ball
        QVERIFY(stateSlot(w, "onNodeHold", WendleRatio(5, 4), true));       // /5, then /-3/5
        QVERIFY(stateSlot(w, "onNodeAltered", WendleRatio(11, 7), true));   // no ball
        QVERIFY(stateSlot(w, "onNodeAltered", WendleRatio(3, 2), true));    // /3, then the root

        // What each ball showed before.
        QMap<QString, QStringList> before;
        for (WendleBall* b : preOrder(w.root)) {
            for (const char* f : { "playing", "selected", "hold", "altered" }) {
                if (flagOf(b, f))
                    before[b->path.toString()] << f;
            }
        }
        QCOMPARE(before.keys(), QStringList({ "/", "/-2/3/3", "/2/-3/-3/-3", "/3", "/5" }));

        const Exact t { 3, 2 };
        QStringList expected;
        for (WendleBall* b : preOrder(w.root)) {
            for (const QString& f : before.value(b->path.toString()))
                expected << b->path.toString() + " " + f + " false";
        }
        expected << "resetNodeStack";
        const struct
        {
            const char* flag;
            const char* stack;
        } order[] = { { "playing", nullptr }, { "selected", "selectNodeInStack" }, { "hold", "setHoldNodeInStack" },
                      { "altered", "setAlteredNodeInStack" } };
        QStringList stacked;
        for (const auto& o : order) {
            for (const WendleRatio& r : setOf(w, o.flag)) {
                WendleBall* b = expectedBall(w.root, t, r);
                if (b) {
                    expected << b->path.toString() + " " + o.flag + " true";
                    if (QString(o.flag) == "playing")
                        expected << "hideCard " + text(r);
                } else {
                    expected << "addNodeToStack " + text(r);
                    if (QString(o.flag) == "playing")
                        expected << "toggleNodeInStack " + text(r) + " true" << "showCard " + text(r);
                    else
                        expected << QString(o.stack) + " " + text(r) + " true";
                    stacked << text(r);
                }
            }
        }
        expected << "transposeOrBaseFrequencyChanged";
        std::sort(stacked.begin(), stacked.end());
        QCOMPARE(stacked, QStringList({ "11/7", "13/11", "16/27", "7/5" }));

        Recorder rec(w);
        QVERIFY(transposed(w, ratioOf(t), 3));
        QCOMPARE(rec.take(), expected);

        QVERIFY(w.root->playing);
        QVERIFY(w.root->altered);
        QVERIFY(!balls.value("/3")->playing);
        QVERIFY(!balls.value("/3")->altered);
        QVERIFY(balls.value("/-3")->playing);
        QVERIFY(!balls.value("/2/-3/-3/-3")->playing);
        QVERIFY(balls.value("/-2/3")->selected);
        QVERIFY(!balls.value("/-2/3/3")->selected);
        QVERIFY(balls.value("/-3/5")->hold);
        QVERIFY(!balls.value("/5")->hold);
        // The sets themselves are what the engine reported, untouched.
        QCOMPARE(w.playingSet.size(), 4);
        QCOMPARE(w.selectedSet.size(), 2);
        QCOMPARE(w.holdSet.size(), 1);
        QCOMPARE(w.alteredSet.size(), 2);

        // Back by -3: the lit balls return.
        QVERIFY(transposed(w, WendleRatio(1, 1), -3));
        QVERIFY(w.transpositionPath().isEmpty());
        QVERIFY(balls.value("/3")->playing);
        QVERIFY(balls.value("/2/-3/-3/-3")->playing);
        QVERIFY(!balls.value("/-3")->playing);
        QVERIFY(w.root->playing);
        QVERIFY(balls.value("/-2/3/3")->selected);
        QVERIFY(balls.value("/5")->hold);
    }

    void baseFrequency()
    {
        Wendle w;
        w.initWithDefaults();
        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(3, 2), true));
        Recorder rec(w);
        QVERIFY(::baseFrequency(w, 440.0f));
        QCOMPARE(rec.take(), QStringList());
        QVERIFY(::baseFrequency(w, 261.5f));
        QCOMPARE(w.baseFrequency, 261.5f);
        QCOMPARE(rec.take(), QStringList({ "/3 playing false", "resetNodeStack", "/3 playing true", "hideCard 3/2",
                                           "transposeOrBaseFrequencyChanged" }));
        QVERIFY(::baseFrequency(w, 261.5f));
        QCOMPARE(rec.take(), QStringList());
    }

    void primeToggles_data()
    {
        // Positive entries switch a prime on, negative ones off.
        QTest::addColumn<QList<int>>("ops");
        QTest::newRow("5 off") << QList<int> { -5 };
        QTest::newRow("5 off, on") << QList<int> { -5, 5 };
        QTest::newRow("1 off") << QList<int> { -1 };
        QTest::newRow("1 off, on") << QList<int> { -1, 1 };
        QTest::newRow("5 off, 1 off, 1 on") << QList<int> { -5, -1, 1 };
        QTest::newRow("1 off, 5 off, 1 on") << QList<int> { -1, -5, 1 };
        QTest::newRow("5 off, 1 off, 5 on") << QList<int> { -5, -1, 5 };
        QTest::newRow("3 off") << QList<int> { -3 };
        QTest::newRow("2 off") << QList<int> { -2 };
        QTest::newRow("31 off") << QList<int> { -31 };
        QTest::newRow("2 off, 3 off, 2 on") << QList<int> { -2, -3, 2 };
        QTest::newRow("5, 7 off, 5 on") << QList<int> { -5, -7, 5 };
        QTest::newRow("5 off twice") << QList<int> { -5, -5 };
    }

    void primeToggles()
    {
        QFETCH(QList<int>, ops);
        Wendle w;
        w.initWithDefaults();
        const QList<WendleBall*> balls = preOrder(w.root);
        QMap<WendleBall*, QList<bool>> emitted;
        for (WendleBall* b : balls)
            connect(b, &WendleBall::enabledChanged, this, [&emitted, b](bool on) { emitted[b] << on; });
        QSet<int> off;
        for (int op : ops) {
            const int prime = std::abs(op);
            QMap<WendleBall*, bool> was;
            for (WendleBall* b : balls)
                was[b] = b->enabled;
            emitted.clear();
            if (op < 0)
                off.insert(prime);
            else
                off.remove(prime);
            QVERIFY(primeToggled(w, prime, op > 0));
            for (WendleBall* b : balls) {
                bool on = !off.contains(1);
                for (int s : b->path.toList())
                    on = on && !off.contains(std::abs(s));
                QVERIFY2(b->enabled == on, qPrintable(b->path.toString()));
                const QList<bool> expected = was[b] == on ? QList<bool>() : QList<bool> { on };
                QVERIFY2(emitted.value(b) == expected, qPrintable(b->path.toString()));
            }
        }
    }

    void canTransposeTo_data()
    {
        QTest::addColumn<float>("base");
        QTest::addColumn<QList<int>>("before");
        QTest::addColumn<quint64>("num");
        QTest::addColumn<quint64>("den");
        QTest::addColumn<bool>("expected");
        QTest::newRow("exactly 20 Hz") << 320.0f << QList<int> {} << quint64(1) << quint64(16) << true;
        QTest::newRow("just below 20 Hz") << std::nextafter(320.0f, 0.0f) << QList<int> {} << quint64(1) << quint64(16) << false;
        QTest::newRow("exactly 20000 Hz") << 625.0f << QList<int> {} << quint64(32) << quint64(1) << true;
        QTest::newRow("just above 20000 Hz") << std::nextafter(625.0f, 1000.0f) << QList<int> {} << quint64(32) << quint64(1)
                                             << false;
        QTest::newRow("unison") << 440.0f << QList<int> {} << quint64(1) << quint64(1) << true;
        QTest::newRow("20 Hz after a transposition") << 640.0f << QList<int> { -2 } << quint64(1) << quint64(16) << true;
        QTest::newRow("below 20 Hz after a transposition") << 640.0f << QList<int> { -2 } << quint64(1) << quint64(32) << false;
        QTest::newRow("20000 Hz after a transposition") << 625.0f << QList<int> { 2, 2 } << quint64(8) << quint64(1) << true;
        QTest::newRow("above 20000 Hz after a transposition") << 625.0f << QList<int> { 2, 2 } << quint64(16) << quint64(1) << false;
    }

    void canTransposeTo()
    {
        QFETCH(float, base);
        QFETCH(QList<int>, before);
        QFETCH(quint64, num);
        QFETCH(quint64, den);
        QFETCH(bool, expected);
        Wendle w;
        w.initWithDefaults();
        QVERIFY(::baseFrequency(w, base));
        Exact t;
        for (int s : before) {
            t = times(t, interval(s));
            QVERIFY(transposed(w, ratioOf(t), s));
        }
        QCOMPARE(w.canTransposeTo(WendleRatio(num, den)), expected);
    }

    // Step on until the lattice refuses; each refusal must have its reason
    // (1/1 out of 20..20000 Hz, or some ball's ratio no longer exact in 64 bits),
    // and every ratio of the index stays exact on the way.
    void repeatedSteps_data()
    {
        QTest::addColumn<int>("prime");
        QTest::addColumn<quint64>("num");
        QTest::addColumn<quint64>("den");
        QTest::addColumn<float>("base");
        QTest::addColumn<QString>("reason");
        QTest::newRow("31 up at 440 Hz") << 31 << quint64(31) << quint64(16) << 440.0f << "frequency";
        QTest::newRow("31 up at 20 Hz") << 31 << quint64(31) << quint64(16) << 20.0f << "frequency";
        QTest::newRow("31 down at 440 Hz") << -31 << quint64(16) << quint64(31) << 440.0f << "frequency";
        QTest::newRow("31/29 by ratio") << 1000 << quint64(31) << quint64(29) << 440.0f << "exactness";
        QTest::newRow("29/31 by ratio") << 1000 << quint64(29) << quint64(31) << 440.0f << "exactness";
        QTest::newRow("3/2 by ratio") << 1000 << quint64(3) << quint64(2) << 440.0f << "frequency";
    }

    void repeatedSteps()
    {
        QFETCH(int, prime);
        QFETCH(quint64, num);
        QFETCH(quint64, den);
        QFETCH(float, base);
        QFETCH(QString, reason);
        Wendle w;
        w.initWithDefaults();
        QVERIFY(::baseFrequency(w, base));
        const QList<WendleBall*> balls = preOrder(w.root);
        const Exact step { num, den };
        const WendleRatio stepRatio(num, den);
        Exact t;
        int accepted = 0;
        for (;;) {
            const Exact next = times(t, step);
            bool exact = true;
            for (WendleBall* b : balls)
                exact = exact && times(times(productOf(b->path.toList()), t), step).fits();
            const float f = next.fits() ? float(quint64(next.n)) / float(quint64(next.d)) * base : 0.0f;
            const bool inRange = next.fits() && f >= 20.0f && f <= 20000.0f;
            if (inRange && !exact) {
                const QString s = QRegularExpression::escape(stepRatio.toString());
                QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^canMultiply fail on \\S+ \\* " + s
                                                                    + ":\\n  test product: \\S+, real product: \\S+$"));
                QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^canTransposeTo fail on \\S+ to " + s
                                                                    + ":\\n  ball: /\\S* at \\S+ can't be played$"));
            }
            QCOMPARE(w.canTransposeTo(stepRatio), inRange && exact);
            if (!(inRange && exact)) {
                QCOMPARE(inRange ? QStringLiteral("exactness") : QStringLiteral("frequency"), reason);
                break;
            }
            t = next;
            QVERIFY(transposed(w, ratioOf(t), prime));
            ++accepted;
            QCOMPARE(w.transpositionRatio, ratioOf(t));
            QCOMPARE(w.ratioIndex().size(), balls.size());
            for (WendleBall* b : balls) {
                const Exact key = times(productOf(b->path.toList()), t);
                QVERIFY(key.fits());
                QCOMPARE(w.ballOf(ratioOf(key)), b);
            }
            QVERIFY(accepted < 200);
        }
        QVERIFY(accepted > 0);
    }

    void signalsAndSlots()
    {
        const QMetaObject& mo = Wendle::staticMetaObject;
        int previous = -1;
        for (const char* name : { "transposeOrBaseFrequencyChanged()", "showCard(WendleRatio)", "hideCard(WendleRatio)",
                                  "addNodeToStack(WendleRatio)", "showNodesInStack()", "toggleNodeInStack(WendleRatio,bool)",
                                  "removeNodeInStack(WendleRatio)", "selectNodeInStack(WendleRatio,bool)",
                                  "setHoldNodeInStack(WendleRatio,bool)", "setAlteredNodeInStack(WendleRatio,bool)",
                                  "resetNodeStack()" }) {
            const int index = mo.indexOfSignal(name);
            QVERIFY2(index > previous, name);
            previous = index;
        }
        for (const char* name : { "onNoteToggled(WendleRatio,bool)", "onNodeSelected(WendleRatio,bool)",
                                  "onNodeHold(WendleRatio,bool)", "onNodeAltered(WendleRatio,bool)",
                                  "onRemoveNodeInStack(WendleRatio)", "afterMemoryRecall()", "onTransposed(WendleRatio,int)",
                                  "onBaseFrequencyChanged(float)", "onPrimeEnabledToggled(int,bool)" }) {
            const int index = mo.indexOfSlot(name);
            QVERIFY2(index >= 0, name);
            QCOMPARE(mo.method(index).access(), QMetaMethod::Private);
        }
    }

    // Balls with equal ratios: the later one in index order owns the key.
    void equalRatiosLaterBallWins_data()
    {
        QTest::addColumn<QByteArray>("root");
        QTest::addColumn<QString>("ratio");
        QTest::addColumn<QString>("owner");
        QTest::newRow("/3/-3 after the root") << QByteArray("{'children': {'3': {'children': {'-3': {}}}}}") << "1/1" << "/3/-3";
        QTest::newRow("/2/-2 after /-2/2") << QByteArray("{'children': {'-2': {'children': {'2': {}}}, '2': {'children': {'-2': {}}}}}")
                                           << "1/1" << "/2/-2";
        QTest::newRow("/5/3 after /3/5") << QByteArray("{'children': {'3': {'children': {'5': {}}}, '5': {'children': {'3': {}}}}}")
                                         << "15/8" << "/5/3";
        QTest::newRow("child before sibling") << QByteArray("{'children': {'-3': {'children': {'3': {'children': {'2': {}}}}}, '2': {}}}")
                                              << "2/1" << "/2";
    }

    void equalRatiosLaterBallWins()
    {
        QFETCH(QByteArray, root);
        QFETCH(QString, ratio);
        QFETCH(QString, owner);
        Wendle w;
        w.readJson(json("{'root': " + root + "}"));
        const QStringList nd = ratio.split('/');
        const WendleRatio r(nd[0].toULongLong(), nd[1].toULongLong());
        QVERIFY(w.ballOf(r));
        QCOMPARE(w.ballOf(r)->path.toString(), owner);
        QCOMPARE(w.ballOf(r), expectedBall(w.root, Exact {}, r));
        // Only the owner lights up.
        QVERIFY(stateSlot(w, "onNoteToggled", r, true));
        QStringList lit;
        for (WendleBall* b : preOrder(w.root)) {
            if (b->playing)
                lit << b->path.toString();
        }
        QCOMPARE(lit, QStringList({ owner }));
    }

    void refreshRatiosAlone()
    {
        Wendle w;
        w.initWithDefaults();
        QVERIFY(stateSlot(w, "onNoteToggled", WendleRatio(3, 2), true));
        QVERIFY(stateSlot(w, "onNodeHold", WendleRatio(7, 5), true));
        Recorder rec(w);
        w.refreshRatios();
        QCOMPARE(rec.take(), QStringList({ "/3 playing false", "resetNodeStack", "/3 playing true", "hideCard 3/2",
                                           "addNodeToStack 7/5", "setHoldNodeInStack 7/5 true" }));
    }

    // The two debug lines of a refusal name the ball that could not be
    // played; the products are given in the shortest form that reads back.
    void canTransposeToFailureMessages()
    {
        const bool rawTexts = false;
        RatioContext::bindWithinOctave(&rawTexts);
        Wendle w;
        w.initWithDefaults();
        const WendleRatio step(31, 29);
        Exact t;
        int accepted = 0;
        while (w.canTransposeTo(step) && accepted < 100) {
            t = times(t, Exact { 31, 29 });
            QVERIFY(transposed(w, ratioOf(t), 1000));
            ++accepted;
        }
        gCaught.clear();
        const QtMessageHandler previous = qInstallMessageHandler(catchMessage);
        const bool allowed = w.canTransposeTo(step);
        qInstallMessageHandler(previous);
        RatioContext::bindWithinOctave(nullptr);
        QVERIFY(!allowed);
        QVERIFY(accepted > 0);
        QCOMPARE(gCaught.size(), 2);

        const QRegularExpression first("^canMultiply fail on (\\d+)/(\\d+) \\* 31/29:\\n  test product: (\\S+), real product: (\\S+)$");
        const QRegularExpressionMatch m1 = first.match(gCaught[0]);
        QVERIFY2(m1.hasMatch(), qPrintable(gCaught[0]));
        const WendleRatio key(m1.captured(1).toULongLong(), m1.captured(2).toULongLong());
        WendleBall* ball = w.ballOf(key);
        QVERIFY(ball);
        QVERIFY(!times(exactOf(key), Exact { 31, 29 }).fits());
        const double real = (double(key.numerator()) / double(key.denominator())) * (31.0 / 29.0);
        QCOMPARE(m1.captured(4), QString::number(real, 'g', QLocale::FloatingPointShortest));

        const QRegularExpression second("^canTransposeTo fail on (\\S+) to 31/29:\\n  ball: (\\S+) at (\\S+) can't be played$");
        const QRegularExpressionMatch m2 = second.match(gCaught[1]);
        QVERIFY2(m2.hasMatch(), qPrintable(gCaught[1]));
        QCOMPARE(m2.captured(1), text(w.transpositionRatio));
        QCOMPARE(m2.captured(2), ball->path.toString());
        QCOMPARE(m2.captured(3), text(ratioOf(productOf(ball->path.toList()))));
    }
};

QTEST_GUILESS_MAIN(TestWendle)
#include "tst_wendle.moc"

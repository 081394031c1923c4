#include "Wendle.h"

#include "PrimeTables.h"
#include "RatioContext.h"
#include "WendleBall.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <cmath>
#include <limits>

namespace {

// The ball and flag that one of the four state sets drives.
enum class Flag { Playing, Selected, Hold, Altered };

bool& flagOf(WendleBall* b, Flag f)
{
    switch (f) {
    case Flag::Playing: return b->playing;
    case Flag::Selected: return b->selected;
    case Flag::Hold: return b->hold;
    case Flag::Altered: return b->altered;
    }
    return b->playing;
}

void emitFlag(WendleBall* b, Flag f, bool on)
{
    switch (f) {
    case Flag::Playing: emit b->playingChanged(on); break;
    case Flag::Selected: emit b->selectedChanged(on); break;
    case Flag::Hold: emit b->holdChanged(on); break;
    case Flag::Altered: emit b->alteredChanged(on); break;
    }
}

bool setFlag(WendleBall* b, Flag f, bool on)
{
    bool& flag = flagOf(b, f);
    if (flag == on)
        return false;
    flag = on;
    emitFlag(b, f, on);
    return true;
}

// A state report: the set follows it, and the ball shows it, or the node
// stack when no ball sounds the ratio.
void followState(Wendle& lattice, QSet<WendleRatio>& set, WendleBall* ball, Flag flag, const WendleRatio& ratio, bool on,
                 void (Wendle::*stackSignal)(WendleRatio, bool))
{
    if (on)
        set.insert(ratio);
    else
        set.remove(ratio);
    if (ball)
        setFlag(ball, flag, on);
    else
        emit (lattice.*stackSignal)(ratio, on);
}

// The lattice that the engine follows, the only one whose transposition
// ratios read. GUI thread only.
const Wendle* gPublisher = nullptr;

template <typename Visit>
void walk(WendleBall* ball, const Visit& visit)
{
    visit(ball);
    for (WendleBall* child : std::as_const(ball->children))
        walk(child, visit);
}

} // namespace

Wendle::Wendle(QObject* parent)
    : SerializableRoot(parent)
{
    WendleRatio::registerMetaTypes();
    root = new WendleBall(WendlePath(), QColor(Qt::white), this);
    mAutoSave = false;
}

Wendle::~Wendle()
{
    if (gPublisher == this)
        gPublisher = nullptr;
}

void Wendle::replaceRoot(WendleBall* ball)
{
    delete root;
    root = ball;
}

void Wendle::publishTransposition()
{
    // A second lattice (a reload, a preview) must not overwrite the
    // transposition of the one that the engine follows.
    if (gPublisher != this)
        return;
    Rational pathRatio(1, 1);
    for (int s : std::as_const(mTranspositionPath)) {
        const qint8 step[2] = { qint8(s), 0 };
        if (!WendleRatio::multiplyExact(pathRatio, WendleRatio::ratioOfSteps(step, 1), pathRatio)) {
            pathRatio = transpositionRatio.ratio;
            break;
        }
    }
    RatioContext::publishTransposition(transpositionRatio.ratio, pathRatio);
}

QColor Wendle::primeColor(int prime) const
{
    if (prime == std::numeric_limits<int>::min())
        return QColor(Qt::white);
    return primeColors.value(std::abs(prime), QColor(Qt::white));
}

bool Wendle::init(QObject* engine)
{
    if (!loadFromFile(QLatin1String(FileName)))
        return false;
    if (!engine)
        return true;
    connect(engine, SIGNAL(noteToggled(WendleRatio, bool)), this, SLOT(onNoteToggled(WendleRatio, bool)), Qt::QueuedConnection);
    connect(engine, SIGNAL(nodeSelected(WendleRatio, bool)), this, SLOT(onNodeSelected(WendleRatio, bool)), Qt::QueuedConnection);
    connect(engine, SIGNAL(nodeHold(WendleRatio, bool)), this, SLOT(onNodeHold(WendleRatio, bool)), Qt::QueuedConnection);
    connect(engine, SIGNAL(nodeAltered(WendleRatio, bool)), this, SLOT(onNodeAltered(WendleRatio, bool)), Qt::QueuedConnection);
    connect(engine, SIGNAL(transposed(WendleRatio, int)), this, SLOT(onTransposed(WendleRatio, int)), Qt::QueuedConnection);
    connect(engine, SIGNAL(baseFrequencyChanged(float)), this, SLOT(onBaseFrequencyChanged(float)), Qt::QueuedConnection);
    connect(engine, SIGNAL(primeEnabledToggled(int, bool)), this, SLOT(onPrimeEnabledToggled(int, bool)), Qt::QueuedConnection);
    connect(engine, SIGNAL(removeNodeInStack(WendleRatio)), this, SLOT(onRemoveNodeInStack(WendleRatio)), Qt::QueuedConnection);
    connect(engine, SIGNAL(nodesRecalled()), this, SLOT(afterMemoryRecall()), Qt::QueuedConnection);
    gPublisher = this;
    publishTransposition();
    return true;
}

void Wendle::initWithDefaults()
{
    primeColors.clear();
    const struct { int key, r, g, b; } colours[] = {
        { 0, 183, 183, 183 }, { 1, 32, 32, 32 }, { 2, 91, 91, 91 }, { 3, 81, 115, 182 }, { 5, 156, 4, 4 },
        { 7, 40, 56, 208 }, { 11, 180, 97, 16 }, { 13, 113, 0, 113 }, { 17, 7, 116, 7 }, { 19, 153, 153, 0 },
        { 23, 0, 91, 91 }, { 29, 119, 92, 66 }, { 31, 42, 157, 123 },
    };
    for (const auto& c : colours)
        primeColors.insert(c.key, QColor(c.r, c.g, c.b));
    qDebug() << "Wendle::initWithDefaults - mPrimeColors:" << primeColors.keys();

    replaceRoot(new WendleBall(WendlePath(), primeColor(1), this));
    const struct { const char* ball; const char* link; } tree[] = {
        { "/-2", nullptr }, { "/-2/-2", nullptr }, { "/-2/-2/3", "/-2/3" }, { "/-2/-2/3/3", "/-2/3/3" },
        { "/-2/-3", "/-3" }, { "/-2/3", "/3" }, { "/-2/3/3", "/3/3" }, { "/2", nullptr }, { "/2/-3", nullptr },
        { "/2/-3/-3", nullptr }, { "/2/-3/-3/-3", nullptr }, { "/2/3", nullptr }, { "/2/3/3", nullptr },
        { "/-3", "/2/-3" }, { "/-3/-3", "/2/-3/-3" }, { "/-3/-3/-3", "/2/-3/-3/-3" }, { "/3", "/2/3" },
        { "/3/3", "/2/3/3" },
    };
    QList<WendleBall*> plane { root };
    for (const auto& entry : tree) {
        WendlePath path;
        path.fromText(QLatin1String(entry.ball));
        WendlePath parentPath = path;
        parentPath.dropLast();
        WendleBall* parentBall = nullptr;
        for (WendleBall* b : std::as_const(plane)) {
            if (b->path == parentPath)
                parentBall = b;
        }
        const int step = path.steps[path.size() - 1];
        auto ball = new WendleBall(path, primeColor(step), parentBall);
        parentBall->children.insert(step, ball);
        if (entry.link)
            ball->addLink(QLatin1String(entry.link));
        plane.append(ball);
    }
    for (WendleBall* b : std::as_const(plane)) {
        for (int i = 3; i < int(primeList.size()); ++i) {
            const int p = primeList[i];
            for (int step : { -p, p }) {
                WendlePath path = b->path;
                path.append(qint8(step));
                b->children.insert(step, new WendleBall(path, primeColor(p), b));
            }
        }
    }
    refreshRatios();
}

void Wendle::readJson(const QJsonObject& json)
{
    const QJsonArray colors = json.value(QLatin1String("colors")).toArray();
    for (const QJsonValue& entry : colors) {
        const QJsonObject o = entry.toObject();
        const double key = std::trunc(o.value(QLatin1String("prime")).toDouble());
        if (!(key >= double(std::numeric_limits<int>::min()) && key <= double(std::numeric_limits<int>::max()))) {
            qWarning() << "Lattice file: colour with prime" << o.value(QLatin1String("prime")).toDouble() << "ignored";
            continue;
        }
        primeColors.insert(int(key), QColor(o.value(QLatin1String("color")).toString()));
    }
    replaceRoot(new WendleBall(WendlePath(), primeColor(1), this));
    root->readJson(json.value(QLatin1String("root")).toObject());
    refreshRatios();
}

void Wendle::writeJson(QJsonObject& json) const
{
    QJsonArray colors;
    for (auto it = primeColors.begin(); it != primeColors.end(); ++it) {
        QJsonObject o;
        o.insert(QStringLiteral("prime"), it.key());
        o.insert(QStringLiteral("color"), it.value().name(it.value().alpha() == 255 ? QColor::HexRgb : QColor::HexArgb));
        colors.append(o);
    }
    json.insert(QStringLiteral("colors"), colors);
    QJsonObject rootObject;
    root->writeJson(rootObject);
    json.insert(QStringLiteral("root"), rootObject);
}

void Wendle::refreshRatios()
{
    mRatioIndex.clear();
    walk(root, [this](WendleBall* b) {
        Rational key;
        if (WendleRatio::multiplyExact(WendleRatio(b->path).ratio, transpositionRatio.ratio, key))
            mRatioIndex.insert(WendleRatio(key), b);
        else
            qWarning().noquote() << QStringLiteral("Ball %1 has no exact ratio under this transposition").arg(b->path.toString());
        for (Flag f : { Flag::Playing, Flag::Selected, Flag::Hold, Flag::Altered })
            setFlag(b, f, false);
    });
    emit resetNodeStack();

    const struct { const QSet<WendleRatio>* set; Flag flag; } sets[] = {
        { &playingSet, Flag::Playing }, { &selectedSet, Flag::Selected }, { &holdSet, Flag::Hold }, { &alteredSet, Flag::Altered },
    };
    for (const auto& s : sets) {
        for (const WendleRatio& r : *s.set) {
            WendleBall* b = mRatioIndex.value(r);
            if (!b) {
                emit addNodeToStack(r);
                switch (s.flag) {
                case Flag::Playing:
                    emit toggleNodeInStack(r, true);
                    emit showCard(r);
                    break;
                case Flag::Selected: emit selectNodeInStack(r, true); break;
                case Flag::Hold: emit setHoldNodeInStack(r, true); break;
                case Flag::Altered: emit setAlteredNodeInStack(r, true); break;
                }
                continue;
            }
            setFlag(b, s.flag, true);
            if (s.flag == Flag::Playing)
                emit hideCard(r);
        }
    }
}

bool Wendle::canTransposeTo(const WendleRatio& step) const
{
    Rational t;
    if (!WendleRatio::multiplyExact(transpositionRatio.ratio, step.ratio, t))
        return false;
    const float f = float(t.numerator()) / float(t.denominator()) * baseFrequency;
    if (f < 20.0f || f > 20000.0f)
        return false;
    for (auto it = mRatioIndex.begin(); it != mRatioIndex.end(); ++it) {
        const WendleRatio& key = it.key();
        Rational exact;
        const bool fits = WendleRatio::multiplyExact(key.ratio, step.ratio, exact);
        const double real = (double(key.numerator()) / double(key.denominator()))
            * (double(step.numerator()) / double(step.denominator()));
        const double exactValue = fits ? double(exact.numerator()) / double(exact.denominator()) : 0.0;
        if (!fits || float(std::fabs(exactValue - real)) > 1e-05f) {
            qDebug().noquote() << QStringLiteral("canMultiply fail on %1 * %2:\n  test product: %3, real product: %4")
                                      .arg(key.toString(), step.toString())
                                      .arg(exactValue, 0, 'g', QLocale::FloatingPointShortest)
                                      .arg(real, 0, 'g', QLocale::FloatingPointShortest);
            qDebug().noquote() << QStringLiteral("canTransposeTo fail on %1 to %2:\n  ball: %3 at %4 can't be played")
                                      .arg(transpositionRatio.toString(), step.toString(), it.value()->path.toString(),
                                           WendleRatio(it.value()->path).toString());
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- engine reports

void Wendle::onNoteToggled(WendleRatio ratio, bool on)
{
    WendleBall* b = mRatioIndex.value(ratio);
    if (on)
        playingSet.insert(ratio);
    else
        playingSet.remove(ratio);
    if (b) {
        setFlag(b, Flag::Playing, on);
        return;
    }
    if (on) {
        emit addNodeToStack(ratio);
        emit toggleNodeInStack(ratio, true);
        emit showCard(ratio);
    } else {
        emit toggleNodeInStack(ratio, false);
        emit hideCard(ratio);
    }
}

void Wendle::onNodeSelected(WendleRatio ratio, bool selected)
{
    followState(*this, selectedSet, mRatioIndex.value(ratio), Flag::Selected, ratio, selected, &Wendle::selectNodeInStack);
}

void Wendle::onNodeHold(WendleRatio ratio, bool hold)
{
    followState(*this, holdSet, mRatioIndex.value(ratio), Flag::Hold, ratio, hold, &Wendle::setHoldNodeInStack);
}

void Wendle::onNodeAltered(WendleRatio ratio, bool altered)
{
    followState(*this, alteredSet, mRatioIndex.value(ratio), Flag::Altered, ratio, altered, &Wendle::setAlteredNodeInStack);
}

void Wendle::onRemoveNodeInStack(WendleRatio ratio)
{
    emit removeNodeInStack(ratio);
}

void Wendle::afterMemoryRecall()
{
    emit showNodesInStack();
}

void Wendle::onTransposed(WendleRatio ratio, int prime)
{
    // A report that cannot come from a valid transposition must not turn the
    // lattice's ratios into nonsense.
    if (ratio.isNull()) {
        qWarning() << "Transposition by a ratio without value ignored";
        return;
    }
    if (prime != 0 && prime != 1000 && !isPrimeStep(prime)) {
        qWarning() << "Transposition by step" << prime << "ignored: not a prime step";
        return;
    }
    transpositionRatio = ratio;
    if (prime == 0) {
        mTranspositionPath.clear();
    } else {
        if (prime == 1000) {
            mTranspositionPath.clear();
            const auto steps = ratio.toSteps();
            for (int i = 0; steps[i] != 0; ++i)
                mTranspositionPath.append(steps[i]);
        } else {
            mTranspositionPath.append(prime);
        }
        WendleBall::cancelOpposites(mTranspositionPath);
    }
    publishTransposition();
    refreshRatios();
    emit transposeOrBaseFrequencyChanged();
}

void Wendle::onBaseFrequencyChanged(float freq)
{
    if (freq == baseFrequency)
        return;
    baseFrequency = freq;
    refreshRatios();
    emit transposeOrBaseFrequencyChanged();
}

void Wendle::onPrimeEnabledToggled(int prime, bool enabled)
{
    // A ball is enabled when 1 and every prime on its path are; walking the
    // whole tree keeps that true whatever order the primes were toggled in.
    if (enabled)
        mDisabledPrimes.remove(prime);
    else
        mDisabledPrimes.insert(prime);
    applyEnabledPrimes(root, !mDisabledPrimes.contains(1));
}

void Wendle::applyEnabledPrimes(WendleBall* ball, bool parentEnabled)
{
    bool on = parentEnabled;
    const int n = ball->path.size();
    if (n > 0)
        on = on && !mDisabledPrimes.contains(std::abs(int(ball->path.steps[n - 1])));
    ball->setEnabledFlag(on);
    for (WendleBall* child : std::as_const(ball->children))
        applyEnabledPrimes(child, on);
}

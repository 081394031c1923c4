#include "StoreAndRecall.h"

#include "EngineCommandType.h"
#include "PdPlayer.h"
#include "SerializableRoot.h"
#include "WendleNoteEvent.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QThread>
#include <limits>

namespace {

bool parseWhole(QByteArrayView digits, quint64& value)
{
    if (digits.isEmpty())
        return false;
    value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return false;
        const quint64 digit = quint64(c - '0');
        if (value > (std::numeric_limits<quint64>::max() - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

// "n/d" with both parts whole numbers from 1 to 2^64-1: what the writer can write.
bool parseRatio(QByteArrayView part, WendleRatio& ratio)
{
    const qsizetype slash = part.indexOf('/');
    if (slash < 0 || part.sliced(slash + 1).contains('/'))
        return false;
    quint64 n = 0, d = 0;
    if (!parseWhole(part.first(slash), n) || !parseWhole(part.sliced(slash + 1), d) || n == 0 || d == 0)
        return false;
    ratio = WendleRatio(n, d);
    return true;
}

} // namespace

StoreAndRecall::StoreAndRecall(PdPlayer* engine)
    : engine(engine)
{
}

StoreAndRecall::~StoreAndRecall() = default;

bool StoreAndRecall::waitForEngine() const
{
    // Offline the caller runs the callbacks itself, between its own gestures.
    if (!engine || !engine->streamRunning())
        return true;
    // The callback that executes the last command posted so far wakes this
    // thread once it has published what they did.
    if (engine->waitForGuiCommands(QDeadlineTimer(EngineWaitMs)))
        return true;
    qWarning().noquote() << QStringLiteral("The engine did not run the waiting commands within %1 ms; "
                                           "chords go by the notes it last reported")
                                .arg(EngineWaitMs);
    return false;
}

QList<WendleRatio> StoreAndRecall::soundingRatios() const
{
    if (!engine)
        return {};
    waitForEngine();
    return engine->getAllSoundingRatios();
}

void StoreAndRecall::postToggle(const WendleRatio& ratio) const
{
    const WendleNoteEvent event(ToggleRatioNote, 1.0f, WendlePath(), ratio);
    engine->guiCommandBuffer().post(&event);
    QThread::yieldCurrentThread();
}

void StoreAndRecall::store(int slot)
{
    const QList<WendleRatio> sounding = soundingRatios();
    if (!sounding.isEmpty() && slot <= LastButtonSlot)
        chords.insert(slot, sounding);
}

void StoreAndRecall::recall(int slot, int mode)
{
    if (slot > LastButtonSlot || !engine)
        return;
    QList<WendleRatio> chord = chords.value(slot);
    if (chord.isEmpty())
        return;

    if (mode == 0) {
        const QList<WendleRatio> sounding = soundingRatios();
        qDebug() << "StoreAndRecall Recall (standard) got AllSoundingRatios # " << sounding.size();
        for (const WendleRatio& r : sounding) {
            if (!chord.removeOne(r))
                postToggle(r);
        }
        for (const WendleRatio& r : std::as_const(chord))
            postToggle(r);
        qDebug() << "Recall (standard) has been processed ...";
    } else if (mode == 1) {
        const QList<WendleRatio> sounding = soundingRatios();
        const bool partSounds = std::any_of(chord.cbegin(), chord.cend(),
                                            [&](const WendleRatio& r) { return sounding.contains(r); });
        // The chord comes and goes as a whole: what sounds of it stops, else all of it starts.
        for (const WendleRatio& r : std::as_const(chord)) {
            if (sounding.contains(r) == partSounds)
                postToggle(r);
        }
    } else {
        for (const WendleRatio& r : std::as_const(chord))
            postToggle(r);
    }
}

QByteArray StoreAndRecall::chordFileText(const QHash<qint32, QList<WendleRatio>>& chords)
{
    QByteArray text;
    for (int slot = FirstButtonSlot; slot <= LastButtonSlot; ++slot) {
        const QList<WendleRatio> chord = chords.value(slot);
        if (chord.isEmpty())
            qDebug() << "Writing empty set in line " << slot;
        for (const WendleRatio& r : chord)
            text += QByteArray::number(r.numerator()) + '/' + QByteArray::number(r.denominator()) + ' ';
        text += "0\n";
    }
    return text;
}

bool StoreAndRecall::unkeptFileInTheWay()
{
    // Each save tries the copy again: the folder may take it now, or the player moved the file away.
    if (QFileInfo::exists(mUnkeptFile) && SerializableRoot::keepUnreadableCopy(mUnkeptFile).isEmpty())
        return true;
    mUnkeptFile.clear();
    return false;
}

bool StoreAndRecall::saveChordFile(const QString& path)
{
    qWarning() << "Saving stored chords to " << path;
    if (!mUnkeptFile.isEmpty() && QFileInfo(path).absoluteFilePath() == mUnkeptFile && unkeptFileInTheWay()) {
        qCritical().noquote() << QStringLiteral("Not saving %1: it could not be read when loaded and no copy of it could be kept, "
                                                "so it is left as it was.")
                                     .arg(path);
        return false;
    }
    QSaveFile file(path);
    // Text mode writes the platform's line ends.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qWarning() << "Could not open file: " << path << file.errorString();
        return false;
    }
    qDebug() << "Writing to file: " << path;
    file.write(chordFileText(chords));
    if (!file.commit()) {
        qWarning() << "Could not write file: " << path << file.errorString();
        return false;
    }
    return true;
}

bool StoreAndRecall::parseChords(const QByteArray& text, QHash<qint32, QList<WendleRatio>>& out, QString* error)
{
    QByteArrayView rest(text);
    if (rest.startsWith("\xEF\xBB\xBF"))
        rest = rest.sliced(3);
    out.clear();
    int counter = 0;
    while (!rest.isEmpty()) {
        const qsizetype end = rest.indexOf('\n');
        QByteArrayView line = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        qDebug() << "Reading line " << counter << line.toByteArray();
        if (++counter == LastFileSlot + 1) {
            qDebug() << "More chord sets than can be allocated. Discarding sets with index > " << LastFileSlot;
            break;
        }
        if (line.startsWith('0'))
            continue;
        QList<WendleRatio> chord;
        // Looked up by hash: a search of the chord per ratio makes a long line freeze the window.
        QSet<WendleRatio> seen;
        // Parts between single spaces, empty ones included: they are malformed.
        for (qsizetype from = 0; from <= line.size();) {
            const qsizetype space = line.indexOf(' ', from);
            const qsizetype end = space < 0 ? line.size() : space;
            const QByteArrayView part = line.sliced(from, end - from);
            from = end + 1;
            if (part == "0") {
                qDebug() << "Reached end of line.";
                break;
            }
            WendleRatio r;
            if (!parseRatio(part, r)) {
                if (error)
                    *error = QStringLiteral("Wrong format in line %1").arg(counter);
                out.clear();
                return false;
            }
            // 6/4 is 3/2: a second toggle of it would silence it again.
            const qsizetype known = seen.size();
            seen.insert(r);
            if (seen.size() != known)
                chord.append(r);
        }
        out.insert(counter, chord);
    }
    return true;
}

bool StoreAndRecall::loadChordFile(const QString& path)
{
    qWarning() << "Loading chords from " << path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Could not open file: " << path << file.errorString();
        return false;
    }
    qDebug() << "Reading from file: " << path;
    QHash<qint32, QList<WendleRatio>> loaded;
    QString error;
    if (!parseChords(file.readAll(), loaded, &error)) {
        qWarning().noquote() << QStringLiteral("Error while opening file. %1 of %2; the stored chords stay as they were")
                                    .arg(error, path);
        return false;
    }
    chords = loaded;
    return true;
}

bool StoreAndRecall::loadAutoSave(const QString& path)
{
    mUnkeptFile.clear();
    if (!QFileInfo::exists(path) || loadChordFile(path))
        return true;
    // The store stays as it was, and the next save would put it in place of the file.
    if (SerializableRoot::keepUnreadableCopy(path).isEmpty())
        mUnkeptFile = QFileInfo(path).absoluteFilePath();
    return false;
}

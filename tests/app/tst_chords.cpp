// The chord controls on the real window and engine: recall in its three
// modes, the questions and boxes, banks and sets on disk, the auto-save.
#include "EngineCommandType.h"
#include "FileSizeLimit.h"
#include "SignalMeasure.h"
#include "StoreAndRecall.h"
#include "WarningCatcher.h"
#include "WindowRig.h"

#include <QComboBox>
#include <QDirIterator>
#include <QPushButton>
#include <QtTest>
#include <vector>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Everything below a folder, so that a refused name can be seen to change nothing.
QStringList tree(const QString& folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next();
    out.sort();
    return out;
}

// The strongest frequency within a hertz of `guess`: the peak of a Hann-windowed
// spectrum, found by golden-section search, fine enough for a tenth of a cent.
double peakNear(const std::vector<float>& stereo, double rate, double guess)
{
    const size_t n = stereo.size() / 2;
    const auto magnitude = [&](double f) {
        double re = 0, im = 0;
        for (size_t i = 0; i < n; ++i) {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n - 1));
            const double phase = 2 * M_PI * f * double(i) / rate;
            re += w * stereo[2 * i] * std::cos(phase);
            im -= w * stereo[2 * i] * std::sin(phase);
        }
        return re * re + im * im;
    };
    double a = guess - 1.0, b = guess + 1.0;
    const double g = (std::sqrt(5.0) - 1) / 2;
    while (b - a > 1e-4) {
        const double c = b - g * (b - a), d = a + g * (b - a);
        if (magnitude(c) > magnitude(d))
            b = d;
        else
            a = c;
    }
    return (a + b) / 2;
}

} // namespace

class TestChords : public QObject
{
    Q_OBJECT

    WindowRig rig;
    StoreAndRecall& store() { return WindowRig::app()->chordStore(); }
    QPushButton* button(const char* name) { return rig.child<QPushButton>(name); }
    QPushButton* chord(int n) { return rig.window->chordButtons().at(n - 1); }
    QComboBox* banks() { return rig.child<QComboBox>("saveChordBankMenu"); }
    QComboBox* sets() { return rig.child<QComboBox>("saveChordSetMenu"); }
    QString folder() { return MainWindow::chordFolder(); }

    void fill(const QString& chords)
    {
        store().chords.clear();
        for (const QString& entry : chords.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            store().chords.insert(entry.section(QLatin1Char(':'), 0, 0).toInt(), WindowRig::ratios(entry.section(QLatin1Char(':'), 1)));
        rig.window->refreshChordButtons();
    }

    // Button n is checked exactly when the store holds slot n.
    bool buttonsShowStore()
    {
        for (int n = 1; n <= 20; ++n) {
            if (chord(n)->isChecked() == store().isSlotEmpty(n))
                return false;
        }
        return true;
    }

    // Chooses a menu entry as the player does.
    void choose(QComboBox* menu, const QString& text)
    {
        const int i = text == QLatin1String("new") ? menu->count() - 2 : text == QLatin1String("remove") ? menu->count() - 1 : menu->findText(text);
        QVERIFY2(i >= 0, qPrintable(text));
        menu->setCurrentIndex(i);
        emit menu->activated(i);
    }

    // A bank and a set in it, both chosen; made through the menus when new.
    void use(const QString& bank, const QString& set)
    {
        for (const auto& [menu, name] : { std::pair { banks(), bank }, { sets(), set } }) {
            if (menu->findText(name) < 0)
                rig.modals->answers << name;
            choose(menu, menu->findText(name) < 0 ? "new" : name);
        }
        QCOMPARE(rig.window->currentBank() + "/" + rig.window->currentSet(), bank + "/" + set);
        QVERIFY(button("saveChordSetSaveButton")->isEnabled());
        rig.modals->seen.clear();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(WindowRig::prepare());
        QVERIFY(rig.open());
    }

    void cleanupTestCase()
    {
        rig.window.reset();
        WindowRig::finish();
    }

    void init()
    {
        for (const char* name : { "chordClearButton", "chordStoreToButton", "chordAdditiveRecallButton",
                                  "chordAlternatingRecallButton", "chordHoldButton" })
            button(name)->setChecked(false);
        WindowRig::app()->options().monophonic = false;
        WindowRig::post(WendleEvent(SetMonophonic, 0.0f));
        WindowRig::sound("");
        rig.modals->seen.clear();
        rig.modals->answers.clear();
    }

    void recall_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<int>("posts"); // toggles of the last click
        QTest::addColumn<QString>("after");
        QTest::newRow("standard from silence") << "" << "3/2 5/4" << "" << 1 << 2 << "5/4 3/2";
        QTest::newRow("standard, chord sounds") << "5/4 3/2" << "3/2 5/4" << "" << 1 << 0 << "5/4 3/2";
        QTest::newRow("standard, one more") << "5/4 3/2 7/4" << "3/2 5/4" << "" << 1 << 1 << "5/4 3/2";
        QTest::newRow("standard, other") << "7/4" << "3/2 5/4" << "" << 1 << 3 << "5/4 3/2";
        QTest::newRow("standard, held stays") << "7/4 hold" << "3/2" << "" << 1 << 2 << "3/2 7/4";
        QTest::newRow("additive on") << "7/4" << "3/2 5/4" << "chordAdditiveRecallButton" << 1 << 2 << "5/4 3/2 7/4";
        QTest::newRow("additive twice") << "7/4" << "3/2 5/4" << "chordAdditiveRecallButton" << 2 << 2 << "7/4";
        QTest::newRow("additive, part sounds") << "3/2 7/4" << "3/2 5/4" << "chordAdditiveRecallButton" << 1 << 1 << "7/4";
        QTest::newRow("alternating") << "3/2 7/4" << "3/2 5/4" << "chordAlternatingRecallButton" << 1 << 2 << "5/4 7/4";
    }

    // Clicked through the window: one callback later the sounding set is the mode's answer.
    void recall()
    {
        QFETCH(QString, before);
        QFETCH(QString, notes);
        QFETCH(QString, mode);
        QFETCH(int, clicks);
        QFETCH(int, posts);
        QFETCH(QString, after);
        WindowRig::sound(QString(before).remove("hold"));
        if (before.contains("hold"))
            WindowRig::post(WendleEvent(SetHold, 1.0f));
        if (!mode.isEmpty())
            button(qPrintable(mode))->setChecked(true);
        fill("4:" + notes);
        for (int i = 0; i < clicks; ++i) {
            const int free = WindowRig::freeSlots();
            QTest::mouseClick(chord(4), Qt::LeftButton);
            if (i == clicks - 1)
                QCOMPARE(free - WindowRig::freeSlots(), posts + 1); // and NodesRecalled
            WindowRig::run();
        }
        QCOMPARE(WindowRig::sounding(), after);
        QVERIFY(chord(4)->isChecked());
        QVERIFY(rig.modals->seen.isEmpty());
    }

    void monophonic_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("mono");
        QTest::addColumn<QString>("after");
        QTest::newRow("yes: poly") << "3/2 5/4" << "yes" << false << "5/4 3/2";
        QTest::newRow("no: stays mono") << "3/2 5/4" << "no" << true << "5/4";
        QTest::newRow("one note: no question") << "3/2" << "" << true << "3/2";
    }

    void monophonic()
    {
        QFETCH(QString, notes);
        QFETCH(QString, answer);
        QFETCH(bool, mono);
        QFETCH(QString, after);
        WindowRig::post(WendleEvent(SetMonophonic, 1.0f));
        WindowRig::app()->options().monophonic = true;
        fill("1:" + notes);
        rig.modals->answers = QStringList { answer };
        QTest::mouseClick(chord(1), Qt::LeftButton);
        WindowRig::run();
        QCOMPARE(rig.modals->seen, answer.isEmpty() ? QStringList() : QStringList { "Monophonic|We are in monophonic mode but you are recalling more than one note. Switch to polyphonic?" });
        QCOMPARE(WindowRig::app()->engine().monophonic(), mono);
        QCOMPARE(button("polyButton")->isChecked(), !mono);
        QCOMPARE(WindowRig::sounding(), after);
    }

    // What a recall sounds in Sine: 3/2 and 5/4 over 440 Hz.
    void recallSounds()
    {
        fill("2:3/2 5/4");
        std::vector<float> out(size_t(48000) * 2 * 2);
        // The earlier tests' releases end first: these notes get voices of their own.
        for (size_t i = 0; i < out.size(); i += 512)
            WindowRig::app()->engine().processCallback(out.data() + i, 256, false);
        WindowRig::run();
        QTest::mouseClick(chord(2), Qt::LeftButton);
        for (size_t i = 0; i < out.size(); i += 512)
            WindowRig::app()->engine().processCallback(out.data() + i, 256, false);
        const std::vector<float> tail(out.begin() + 48000 / 4 * 2, out.end());
        for (double hz : { 660.0, 550.0 }) {
            const double cents = 1200.0 * std::log2(peakNear(tail, 48000, hz) / hz);
            QVERIFY2(std::abs(cents) < 0.1, qPrintable(QString("%1 Hz off by %2 cents").arg(hz).arg(cents)));
        }
    }

    void storeAndClear_data()
    {
        QTest::addColumn<QString>("sounding");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("after");
        QTest::newRow("store into empty") << "7/4" << "chordStoreToButton" << "" << "" << 2 << "1:3/2;2:7/4";
        QTest::newRow("silence keeps") << "" << "chordStoreToButton" << "ok" << "|Nothing to be stored!" << 1 << "1:3/2";
        QTest::newRow("replace: yes") << "7/4" << "chordStoreToButton" << "yes" << "|Replace?" << 1 << "1:7/4";
        QTest::newRow("replace: no") << "7/4" << "chordStoreToButton" << "no" << "|Replace?" << 1 << "1:3/2";
        QTest::newRow("clear") << "" << "chordClearButton" << "" << "" << 1 << "";
        QTest::newRow("clear an empty slot") << "" << "chordClearButton" << "" << "" << 2 << "1:3/2";
    }

    void storeAndClear()
    {
        QFETCH(QString, sounding);
        QFETCH(QString, mode);
        QFETCH(QString, answer);
        QFETCH(QString, box);
        QFETCH(int, slot);
        QFETCH(QString, after);
        fill("1:3/2");
        WindowRig::sound(sounding);
        button(qPrintable(mode))->setChecked(true);
        rig.modals->answers = QStringList { answer };
        QTest::mouseClick(chord(slot), Qt::LeftButton);
        QCOMPARE(rig.modals->seen, box.isEmpty() ? QStringList() : QStringList { box });
        QCOMPARE(WindowRig::stored(), after);
        QVERIFY(buttonsShowStore());
    }

    // Hold stays on only over something that sounds; the command goes out either way.
    void hold()
    {
        for (const QString& sounding : { QString(), QString("3/2") }) {
            WindowRig::sound(sounding);
            QTest::mouseClick(button("chordHoldButton"), Qt::LeftButton);
            WindowRig::run();
            QVERIFY(WindowRig::app()->engine().hold());
            QCOMPARE(button("chordHoldButton")->isChecked(), !sounding.isEmpty());
        }
    }

    void clearAll()
    {
        fill("");
        QTest::mouseClick(button("chordClearAllButton"), Qt::LeftButton);
        QVERIFY(rig.modals->seen.isEmpty());
        for (const char* answer : { "no", "yes" }) {
            fill("5:3/2;0:7/4");
            rig.modals->answers = QStringList { answer };
            QTest::mouseClick(button("chordClearAllButton"), Qt::LeftButton);
            QCOMPARE(rig.modals->seen.takeLast(), QString("|Clear all memory?"));
            QCOMPARE(WindowRig::stored(), QString(answer) == "no" ? "0:7/4;5:3/2" : "");
            QVERIFY(buttonsShowStore());
        }
    }

    // Save, load and save give the same bytes, the widest ratios included.
    void roundTrip()
    {
        use("bank", "set");
        fill("1:3/2 5/4;3:18446744073709551615/1 4294967296/4294967295;20:7/4");
        const QByteArray expected = "3/2 5/4 0\n0\n18446744073709551615/1 4294967296/4294967295 0\n" + QByteArray("0\n").repeated(16) + "7/4 0\n";
        QTest::mouseClick(button("saveChordSetSaveButton"), Qt::LeftButton);
        const QString path = folder() + "/bank/set.lmpr";
        QCOMPARE(readAll(path), expected);
        fill("2:9/8");
        QTest::mouseClick(button("saveChordSetLoadButton"), Qt::LeftButton);
        QCOMPARE(WindowRig::stored(), QString("1:5/4 3/2;3:4294967296/4294967295 18446744073709551615/1;20:7/4"));
        QVERIFY(buttonsShowStore());
        QVERIFY(QFile::remove(path));
        QTest::mouseClick(button("saveChordSetSaveButton"), Qt::LeftButton);
        QCOMPARE(readAll(path), expected);
        QVERIFY(rig.modals->seen.isEmpty());
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("after"); // empty: refused, the earlier chords stay
        const QByteArray rest = QByteArray("0\n").repeated(18);
        QTest::newRow("CR LF with BOM") << QByteArray("\xEF\xBB\xBF" "3/2 5/4 0\r\n0\r\n7/4 0\r\n") << "1:5/4 3/2;3:7/4";
        QTest::newRow("no closing 0, 6/4 once") << QByteArray("3/2 6/4 5/4\n") << "1:5/4 3/2";
        QTest::newRow("0 first, whatever follows") << QByteArray("0 x/y\n7/4 0 junk\n") << "2:7/4";
        QTest::newRow("empty: an empty set") << QByteArray() << "-";
        QTest::newRow("25 lines fill 21") << QByteArray("0\n").repeated(20) + "9/8 0\n" + QByteArray("3/2 0\n").repeated(4) << "21:9/8";
        QTest::newRow("a letter") << "3/2 0\n" + rest + "x/2 0\n" << "";
        QTest::newRow("3/0") << QByteArray("3/0 0\n") << "";
        QTest::newRow("0/5") << QByteArray("7/4 0/5 0\n") << "";
        QTest::newRow("-3/2") << QByteArray("-3/2 0\n") << "";
        QTest::newRow("two spaces") << QByteArray("3/2  5/4 0\n") << "";
        QTest::newRow("empty line") << QByteArray("3/2 0\n\n7/4 0\n") << "";
        QTest::newRow("beyond 64 bits") << QByteArray("18446744073709551616/1 0\n") << "";
        QTest::newRow("3/2/5") << QByteArray("3/2/5 0\n") << "";
    }

    void load()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, after);
        use("load", "set");
        QVERIFY(writeAll(folder() + "/" + rig.window->currentBank() + "/set.lmpr", bytes));
        fill("2:9/8;19:7/4");
        rig.modals->answers = QStringList { "ok" };
        QTest::mouseClick(button("saveChordSetLoadButton"), Qt::LeftButton);
        QCOMPARE(WindowRig::stored(), after.isEmpty() ? "2:9/8;19:7/4" : after == "-" ? "" : after);
        QCOMPARE(rig.modals->seen, after.isEmpty() ? QStringList { "|Error: Could not load preset from disk!" } : QStringList());
        QVERIFY(buttonsShowStore());
    }

    // The player sees a save that did not reach the disk.
    void failedSave()
    {
        for (const char* how : { "bank gone", "folder in the way" }) {
            use(how, "set");
            const QString bank = folder() + "/" + how;
            if (QString(how) == "bank gone")
                QVERIFY(QDir(bank).removeRecursively());
            else
                QVERIFY(QFile::remove(bank + "/set.lmpr") && QDir().mkpath(bank + "/set.lmpr/x"));
            rig.modals->answers = QStringList { "ok" };
            QTest::mouseClick(button("saveChordSetSaveButton"), Qt::LeftButton);
            QCOMPARE(rig.modals->seen, QStringList { "|Error: Could not safe preset to disk!" });
            rig.modals->seen.clear();
        }
    }

    void refusedNames_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : { "../out", "a/b", "a\\b", ".", "..", ".hidden", "*", "   " })
            QTest::newRow(name) << QString(name);
    }

    // Neither a bank nor a set of such a name: the tree round the chord folder stays as it was.
    void refusedNames()
    {
        QFETCH(QString, name);
        use("names", "set");
        const QString parent = QFileInfo(folder()).absolutePath();
        const QStringList before = tree(parent);
        rig.modals->answers = QStringList { name, "ok", name, "ok" };
        choose(banks(), "new");
        QCOMPARE(rig.window->currentBank(), QString("names"));
        choose(sets(), "new");
        QCOMPARE(rig.modals->seen, (QStringList { "New bank|Create bank with name:", "|Error: Could not create bank. It might already exist or name is invalid!",
                                                  "New preset|Create preset with name:", "|Error: Failed to create preset file on the disk. Name is invalid!" }));
        QCOMPARE(tree(parent), before);
        QCOMPARE(sets()->currentText(), QString("set"));
    }

    // Load, save and remove act on a bank and a set chosen together.
    void banksAndSets()
    {
        use("A", "same");
        use("B", "same");
        fill("1:3/2");
        choose(banks(), "A");
        QCOMPARE(sets()->currentText(), QString("*"));
        QVERIFY(!button("saveChordSetSaveButton")->isEnabled());
        QTest::mouseClick(button("saveChordSetSaveButton"), Qt::LeftButton);
        choose(sets(), "remove");
        QVERIFY(rig.modals->seen.isEmpty());
        QCOMPARE(readAll(folder() + "/A/same.lmpr"), QByteArray());
        QVERIFY(QFileInfo::exists(folder() + "/A/same.lmpr") && QFileInfo::exists(folder() + "/B/same.lmpr"));
        QVERIFY(!QFileInfo::exists(folder() + "/A/*.lmpr"));

        rig.modals->answers = QStringList { "same", "ok" };
        choose(sets(), "new");
        QCOMPARE(rig.modals->seen.last(), QString("|Preset name already exists!"));
        // A bank that is a link goes alone.
        QTemporaryDir target;
        QVERIFY(writeAll(target.filePath("kept.lmpr"), "3/2 0\n"));
        QVERIFY(QFile::link(target.path(), folder() + "/linked"));
        rig.window->repopulateChordBankMenu();
        choose(banks(), "linked");
        rig.modals->answers = QStringList { "yes" };
        choose(banks(), "remove");
        QVERIFY(!QFileInfo(folder() + "/linked").isSymLink());
        QCOMPARE(readAll(target.filePath("kept.lmpr")), QByteArray("3/2 0\n"));
        QCOMPARE(banks()->currentText(), QString("*"));
        rig.modals->seen.clear();
        choose(banks(), "remove");
        QVERIFY(rig.modals->seen.isEmpty());
    }

    // A folder chosen in the dialog becomes the chord folder; without it no bank can be made.
    void chordFolder()
    {
        const QString before = WindowRig::app()->options().lastDirPath;
        QTemporaryDir chosen;
        QVERIFY(QDir().mkpath(chosen.filePath("mine")));
        rig.modals->answers = QStringList { chosen.path() };
        QTest::mouseClick(button("saveChordDirectoryButton"), Qt::LeftButton);
        QCOMPARE(WindowRig::app()->options().lastDirPath, chosen.path());
        QCOMPARE(banks()->itemText(1), QString("mine"));
        QVERIFY(!button("saveChordSetLoadButton")->isEnabled() && rig.window->currentBank() == "*");
        WindowRig::app()->options().lastDirPath = chosen.filePath("gone");
        rig.modals->seen.clear();
        rig.modals->answers = QStringList { "new", "ok" };
        choose(banks(), "new");
        QCOMPARE(rig.modals->seen.last(), QString("|Error: Main directory does not exist. Please choose a directory first!"));
        WindowRig::app()->options().lastDirPath = before;
        rig.window->repopulateChordBankMenu();
    }

    // Start-up takes the auto-saved chords; a failed auto-save is logged.
    void autoSave()
    {
        const QString path = TuningWendleApplication::chordAutoSavePath();
        QVERIFY(writeAll(path, "7/4 0\n0\n3/2 5/4 0\n"));
        fill("");
        WindowRig::app()->loadAutoSavedChords();
        rig.window->refreshChordButtons();
        QVERIFY(chord(1)->isChecked() && chord(3)->isChecked() && buttonsShowStore());
        QVERIFY(QFile::remove(path) && QDir().mkpath(path + "/x"));
        WarningCatcher warnings;
        QMetaObject::invokeMethod(WindowRig::app(), "autoSafe");
        QVERIFY(warnings.warnings().filter("Auto-save of the chords failed").size() == 1);
        QVERIFY(QDir(path).removeRecursively());
    }

    void badAutoSave_data()
    {
        QTest::addColumn<QString>("inTheWay"); // what stands at ".temp.lmpr.bad" before the start
        QTest::addColumn<QString>("copy");     // where the bad file is kept; empty: nowhere
        QTest::newRow("nothing") << "" << ".bad";
        QTest::newRow("an earlier copy") << "file" << ".bad.2";
        QTest::newRow("a folder") << "folder" << ".bad.2";
        QTest::newRow("a dangling link") << "dangling link" << ".bad.2";
        QTest::newRow("no room for a copy at first") << "little room" << ".bad";
    }

    // A bad auto-save file is copied aside beside every earlier copy before
    // the auto-save replaces it; while no copy can be made it is not replaced,
    // and the player is told so once, at start-up.
    void badAutoSave()
    {
        QFETCH(QString, inTheWay);
        QFETCH(QString, copy);
        const QString path = TuningWendleApplication::chordAutoSavePath();
        const QDir config(TuningWendleApplication::configDir());
        for (const QString& name : config.entryList({ ".temp.lmpr*" }, QDir::AllEntries | QDir::Hidden | QDir::System)) {
            const QString entry = config.filePath(name);
            QVERIFY(QFile::remove(entry) || QDir(entry).removeRecursively());
        }
        // Longer than the chords saved over it.
        const QByteArray bad = "7/4 x\n" + QByteArray(1024, '#');
        QVERIFY(writeAll(path, bad));
        if (inTheWay == "file")
            QVERIFY(writeAll(path + ".bad", "an earlier copy\n"));
        else if (inTheWay == "folder")
            QVERIFY(QDir().mkpath(path + ".bad/x"));
        else if (inTheWay == "dangling link")
            QVERIFY(QFile::link(path + ".gone/x", path + ".bad"));
        fill("2:9/8");
        rig.modals->seen.clear();
        const bool little = inTheWay == "little room";
        {
            const FileSizeLimit room(little ? 512 : RLIM_INFINITY); // the chords fit, a copy does not
            WindowRig::app()->loadAutoSavedChords();
            QMetaObject::invokeMethod(WindowRig::app(), "autoSafe");
            QCOMPARE(readAll(path) == bad, little);
        }
        QMetaObject::invokeMethod(WindowRig::app(), "autoSafe");

        QCOMPARE(WindowRig::stored(), QString("2:9/8"));
        QCOMPARE(readAll(path + copy), bad);
        if (inTheWay == "file")
            QCOMPARE(readAll(path + ".bad"), QByteArray("an earlier copy\n"));
        QCOMPARE(readAll(path), "0\n9/8 0\n" + QByteArray("0\n").repeated(18));
        QCOMPARE(rig.modals->seen.size(), int(little));
        QCOMPARE(rig.modals->seen.filter("Failed to read saved chords from " + path).size(), int(little));
    }
};

WINDOW_TEST_MAIN(TestChords)
#include "tst_chords.moc"

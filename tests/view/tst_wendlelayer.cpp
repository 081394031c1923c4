#include "CardConnectorOverlay.h"
#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "FreeConnectorOverlay.h"
#include "NodeStackWidget.h"
#include "NotationGraphics.h"
#include "PageRig.h"
#include "WendleView.h"

#include <QSvgRenderer>
#include <QtTest>

namespace {

QStringList gCriticals;
QtMessageHandler gPrevious = nullptr;

void catchCriticals(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtCriticalMsg)
        gCriticals << text;
    else if (gPrevious)
        gPrevious(type, context, text);
}

} // namespace

class TestWendleLayer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(PageRig::initProcess()); }

    // Every staff graphic is in the bundle, draws, and carries the black the cards recolour.
    void notationGraphicsLoad()
    {
        gCriticals.clear();
        gPrevious = qInstallMessageHandler(catchCriticals);
        PageRig rig(0);
        qInstallMessageHandler(gPrevious);
        QVERIFY(gCriticals.isEmpty());
        const NotationGraphics* n = rig.page.notation();
        QVERIFY(n);
        for (int i = 0; i < NotationGraphics::Count; ++i) {
            const char* name = NotationGraphics::ResourceNames[i];
            const QByteArray& svg = (*n)[i];
            QVERIFY2(!svg.isEmpty(), name);
            QVERIFY2(svg.contains("fill:#000000") || svg.contains("stroke:#000000"), name);
            QSvgRenderer renderer(svg);
            QVERIFY2(renderer.isValid() && !renderer.viewBoxF().isEmpty(), name);
        }
        QCOMPARE(n->trebleClef, (*n)[0]);
        QCOMPARE(n->tonebudArrowhead45Down, (*n)[12]);

        QByteArray kept("kept");
        qInstallMessageHandler(catchCriticals);
        WendleLayer::loadResourceFile(QStringLiteral("nosuch.svg"), kept);
        qInstallMessageHandler(gPrevious);
        QCOMPARE(gCriticals, QStringList { "Failed to load nosuch.svg." });
        QCOMPARE(kept, QByteArray("kept"));
    }

    void overlaysCoverThePage()
    {
        QWidget window;
        PageRig rig(1);
        // A page away from its parent's corner: its overlays still start at its own.
        rig.page.setParent(&window);
        rig.page.move(50, 40);
        window.resize(1300, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (const QSize& size : { QSize(640, 480), QSize(1200, 300) }) {
            rig.page.resize(size);
            QTRY_COMPARE(rig.page.cardOverlay()->geometry(), QRect(QPoint(0, 0), size));
            QCOMPARE(rig.page.freeOverlay()->geometry(), QRect(QPoint(0, 0), size));
        }
        QVERIFY(rig.page.cardOverlay()->testAttribute(Qt::WA_TransparentForMouseEvents));
        // The free-ball lines lie beneath everything else on the page.
        QCOMPARE(rig.page.children().indexOf(rig.page.freeOverlay()), 0);

        rig.page.setStacksVisible(false);
        QVERIFY(!rig.page.cardStack()->isVisible() && !rig.page.cardStackTwo()->isVisible()
                && !rig.page.nodeStack()->isVisible());
        QVERIFY(rig.view()->isVisible());
        rig.page.setStacksVisible(true);
        QVERIFY(rig.page.nodeStack()->isVisible());
    }
};

QTEST_MAIN(TestWendleLayer)
#include "tst_wendlelayer.moc"

#pragma once

#include "SerializableRoot.h"
#include "WendleRatio.h"

#include <QColor>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>

class WendleBall;

// The lattice as the GUI sees it: the tree of balls, prime colours, the
// transposition, the base frequency and the states that the engine reports.
class Wendle : public SerializableRoot
{
    Q_OBJECT

public:
    static constexpr const char* FileName = "wendle_v2.json";

    explicit Wendle(QObject* parent = nullptr);
    ~Wendle() override;

    void readJson(const QJsonObject& json) override;
    void writeJson(QJsonObject& json) const override;
    void initWithDefaults() override;
    // Loads or creates the lattice file and follows the engine's signals;
    // with an engine, this lattice alone publishes its transposition from
    // then on.
    virtual bool init(QObject* engine);

    QColor primeColor(int prime) const;
    bool canTransposeTo(const WendleRatio& step) const;
    void refreshRatios();

    QList<int> transpositionPath() const { return mTranspositionPath; }
    WendleBall* ballOf(const WendleRatio& ratio) const { return mRatioIndex.value(ratio); }
    const QHash<WendleRatio, WendleBall*>& ratioIndex() const { return mRatioIndex; }

    WendleBall* root = nullptr;
    WendleRatio transpositionRatio { 1, 1 };
    float baseFrequency = 440.0f;
    QMap<int, QColor> primeColors;
    QSet<WendleRatio> playingSet;
    QSet<WendleRatio> selectedSet;
    QSet<WendleRatio> holdSet;
    QSet<WendleRatio> alteredSet;

signals:
    void transposeOrBaseFrequencyChanged();
    void showCard(WendleRatio ratio);
    void hideCard(WendleRatio ratio);
    void addNodeToStack(WendleRatio ratio);
    void showNodesInStack();
    void toggleNodeInStack(WendleRatio ratio, bool on);
    void removeNodeInStack(WendleRatio ratio);
    void selectNodeInStack(WendleRatio ratio, bool selected);
    void setHoldNodeInStack(WendleRatio ratio, bool hold);
    void setAlteredNodeInStack(WendleRatio ratio, bool altered);
    void resetNodeStack();

private slots:
    void onNoteToggled(WendleRatio ratio, bool on);
    void onNodeSelected(WendleRatio ratio, bool selected);
    void onNodeHold(WendleRatio ratio, bool hold);
    void onNodeAltered(WendleRatio ratio, bool altered);
    void onRemoveNodeInStack(WendleRatio ratio);
    void afterMemoryRecall();
    void onTransposed(WendleRatio ratio, int prime);
    void onBaseFrequencyChanged(float freq);
    void onPrimeEnabledToggled(int prime, bool enabled);

private:
    void replaceRoot(WendleBall* ball);
    void publishTransposition();
    void applyEnabledPrimes(WendleBall* ball, bool parentEnabled);

    QList<int> mTranspositionPath;
    QHash<WendleRatio, WendleBall*> mRatioIndex;
    QSet<int> mDisabledPrimes;
};

#include "SynthModel.h"

#include <algorithm>

void SynthModel::init()
{
    if (mInit)
        return;
    mInit = true;
    mTuning.fill(-1);
    mBend.fill(8192);
    mRange.fill(-1);
    mRpn.fill(0x3FFF);
}

void SynthModel::feed(const QList<QByteArray>& messages)
{
    for (const QByteArray& m : messages)
        feed(m);
}

void SynthModel::feed(const QByteArray& m)
{
    init();
    const auto at = [&m](qsizetype i) { return i < m.size() ? int(quint8(m.at(i))) : 0; };
    const int status = at(0);
    const size_t channel = size_t(status & 0x0F);
    switch (status & 0xF0) {
    case 0x90:
        mOn[channel][size_t(at(1) & 0x7F)] = at(2) != 0;
        break;
    case 0x80:
        mOn[channel][size_t(at(1) & 0x7F)] = false;
        break;
    case 0xE0:
        mBend[channel] = at(1) | at(2) << 7;
        break;
    case 0xB0:
        if (at(1) == 123)
            mOn[channel].fill(false);
        else if (at(1) == 101)
            mRpn[channel] = (mRpn[channel] & 0x7F) | at(2) << 7;
        else if (at(1) == 100)
            mRpn[channel] = (mRpn[channel] & ~0x7F) | at(2);
        else if (mRpn[channel] == 0 && at(1) == 6)
            mRange[channel] = at(2) * 100 + std::max(0, mRange[channel]) % 100;
        else if (mRpn[channel] == 0 && at(1) == 38)
            mRange[channel] = std::max(0, mRange[channel]) / 100 * 100 + at(2);
        break;
    case 0xF0:
        // Real-time single-note tuning change: F0 7F dev 08 02 prog n (kk xx yy zz)... F7
        if (m.size() >= 8 && at(1) == 0x7F && at(3) == 0x08 && at(4) == 0x02) {
            for (qsizetype g = 7; g + 4 < m.size(); g += 4) {
                const size_t key = size_t(at(g) & 0x7F);
                const int fraction = at(g + 2) << 7 | at(g + 3);
                const bool own = at(g + 1) == int(key) && fraction == 0;
                mSemitone[key] = at(g + 1);
                mTuning[key] = own ? -1 : fraction;
            }
        }
        break;
    default:
        break;
    }
}

QStringList SynthModel::sounding() const
{
    QStringList notes;
    for (size_t c = 0; c < 16; ++c) {
        for (size_t k = 0; k < 128; ++k) {
            if (mOn[c][k])
                notes << QStringLiteral("%1/%2").arg(c).arg(k);
        }
    }
    return notes;
}

QList<int> SynthModel::retunedKeys() const
{
    QList<int> keys;
    if (!mInit)
        return keys;
    for (size_t k = 0; k < 128; ++k) {
        if (mTuning[k] >= 0)
            keys << int(k);
    }
    return keys;
}

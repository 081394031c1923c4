#include "StreamThread.h"

#include "PdPlayer.h"

#include <chrono>

StreamThread::StreamThread(PdPlayer& player)
    : mPlayer(player)
{
    mPlayer.setStreamRunning(true);
    mThread = std::thread([this] {
        float out[2 * 64];
        while (mRunning.load(std::memory_order_acquire)) {
            mPlayer.processCallback(out, 64, false);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
}

StreamThread::~StreamThread()
{
    mRunning.store(false, std::memory_order_release);
    mThread.join();
    mPlayer.setStreamRunning(false);
}

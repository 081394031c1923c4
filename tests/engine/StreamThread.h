#pragma once

#include <atomic>
#include <thread>

class PdPlayer;

// A stand-in for the audio output's stream: another thread runs the callbacks.
class StreamThread
{
public:
    explicit StreamThread(PdPlayer& player);
    ~StreamThread();
    StreamThread(const StreamThread&) = delete;
    StreamThread& operator=(const StreamThread&) = delete;

private:
    PdPlayer& mPlayer;
    std::atomic<bool> mRunning { true };
    std::thread mThread;
};

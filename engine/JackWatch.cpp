#include "JackWatch.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef Q_OS_LINUX
#include <dlfcn.h>
#endif

JackWatch::~JackWatch()
{
    close();
#ifdef Q_OS_LINUX
    if (mLibrary && !serverGone())
        dlclose(mLibrary);
#endif
}

bool JackWatch::open()
{
#ifdef Q_OS_LINUX
    if (mClient)
        return true;
    if (!mLibrary)
        mLibrary = dlopen("libjack.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!mLibrary)
        return false;
    // The calls as libjack exports them; the options value 1 is
    // JackNoStartServer, so that the watch never starts a server.
    using Open = void* (*)(const char* name, int options, int* status, ...);
    using OnShutdown = void (*)(void* client, void (*callback)(void*), void* arg);
    const auto open = reinterpret_cast<Open>(dlsym(mLibrary, "jack_client_open"));
    const auto onShutdown = reinterpret_cast<OnShutdown>(dlsym(mLibrary, "jack_on_shutdown"));
    mClose = reinterpret_cast<Close>(dlsym(mLibrary, "jack_client_close"));
    mBufferSize = reinterpret_cast<FrameTime>(dlsym(mLibrary, "jack_get_buffer_size"));
    mSampleRate = reinterpret_cast<FrameTime>(dlsym(mLibrary, "jack_get_sample_rate"));
    mFrameTime = reinterpret_cast<FrameTime>(dlsym(mLibrary, "jack_frame_time"));
    mLastFrameTime = reinterpret_cast<FrameTime>(dlsym(mLibrary, "jack_last_frame_time"));
    if (!open || !onShutdown || !mClose || !mBufferSize || !mSampleRate || !mFrameTime || !mLastFrameTime)
        return false;
    int status = 0;
    mClient = open("wendle-watch", 1, &status);
    if (!mClient) {
        // 0x10 is JackServerFailed: no server answers where the watch had
        // one. It went while the watch was closed, and this open may have
        // had libjack drop the process's other clients of it, which nothing
        // may call any more.
        if (mWasOpen && (status & 0x10))
            mGone.store(true, std::memory_order_release);
        return false;
    }
    mWasOpen = true;
    // A server restarted while the watch was closed answers as well, but the
    // open has had libjack drop this process's clients of the old one. The
    // client that carried our last port is then unknown to it.
    if (!mSiblingName.isEmpty() && clientUuid(mSiblingName) != mSiblingUuid) {
        mClose(mClient);
        mClient = nullptr;
        mGone.store(true, std::memory_order_release);
        return false;
    }
    // Before activation, as JACK wants it; this client is never activated.
    onShutdown(mClient, &JackWatch::onShutdown, this);
    return true;
#else
    return false;
#endif
}

void JackWatch::close()
{
    // A client of a dead server is left alone: closing it would talk to
    // nothing, and libjack may crash doing so.
    if (mClient && !serverGone()) {
        mClose(mClient);
        mClient = nullptr;
    }
}

QByteArray JackWatch::clientUuid(const QByteArray& name) const
{
#ifdef Q_OS_LINUX
    using Uuid = char* (*)(void* client, const char* name);
    using Free = void (*)(void* ptr);
    const auto uuid = reinterpret_cast<Uuid>(dlsym(mLibrary, "jack_get_uuid_for_client_name"));
    const auto release = reinterpret_cast<Free>(dlsym(mLibrary, "jack_free"));
    char* text = mClient && uuid && release ? uuid(mClient, name.constData()) : nullptr;
    const QByteArray out(text);
    if (text)
        release(text);
    return out;
#else
    Q_UNUSED(name);
    return QByteArray();
#endif
}

void JackWatch::rememberSibling(const QByteArray& destination, const QByteArray& ourPort)
{
#ifdef Q_OS_LINUX
    using ByName = void* (*)(void* client, const char* name);
    using Connections = const char** (*)(const void* client, const void* port);
    using Free = void (*)(void* ptr);
    const auto byName = reinterpret_cast<ByName>(dlsym(mLibrary, "jack_port_by_name"));
    const auto connections = reinterpret_cast<Connections>(dlsym(mLibrary, "jack_port_get_all_connections"));
    const auto release = reinterpret_cast<Free>(dlsym(mLibrary, "jack_free"));
    void* port = mClient && byName && connections && release ? byName(mClient, destination.constData()) : nullptr;
    const char** names = port ? connections(mClient, port) : nullptr;
    if (!names) {
        mSiblingName.clear();
        mSiblingUuid.clear();
        return;
    }
    // Only a client that can be told apart: another program's port of the
    // same name on the same destination leaves the check out.
    const QByteArray suffix = ':' + ourPort;
    QByteArray found;
    int count = 0;
    for (int i = 0; names[i]; ++i) {
        const QByteArray name(names[i]);
        if (name.endsWith(suffix)) {
            found = name.chopped(suffix.size());
            ++count;
        }
    }
    release(names);
    // The uuid is asked of the server only for a client not known yet: each
    // request is a round trip that waits on the server.
    if (count == 1 && found == mSiblingName)
        return;
    mSiblingName.clear();
    mSiblingUuid = count == 1 ? clientUuid(found) : QByteArray();
    if (!mSiblingUuid.isEmpty())
        mSiblingName = found;
#else
    Q_UNUSED(destination);
    Q_UNUSED(ourPort);
#endif
}

void JackWatch::onShutdown(void* self)
{
    static_cast<JackWatch*>(self)->mGone.store(true, std::memory_order_release);
}

quint32 JackWatch::period() const
{
    return mClient ? std::max<quint32>(mBufferSize(mClient), 1) : 1;
}

quint32 JackWatch::rate() const
{
    return mClient ? std::max<quint32>(mSampleRate(mClient), 1) : 48000;
}

quint32 JackWatch::cycleFrame() const
{
    return mClient ? mLastFrameTime(mClient) : 0;
}

std::chrono::microseconds JackWatch::nextCycleIn() const
{
    using namespace std::chrono;
    const quint32 p = period();
    quint32 left = p;
    if (mClient) {
        const quint32 into = mFrameTime(mClient) - mLastFrameTime(mClient);
        left = into < p ? p - into : 0;
    }
    const auto wait = microseconds(qint64(left) * 1000000 / rate()) + microseconds(300);
    return std::max<microseconds>(wait, microseconds(500));
}

bool JackWatch::waitCycles(quint32 from, int cycles, int stallMs) const
{
    using Clock = std::chrono::steady_clock;
    quint32 seen = cycleFrame();
    auto moved = Clock::now();
    for (;;) {
        if (serverGone() || !mClient)
            return false;
        const quint32 now = cycleFrame();
        if (now - from >= quint32(cycles) * period())
            return true;
        if (now != seen) {
            seen = now;
            moved = Clock::now();
        } else if (Clock::now() - moved > std::chrono::milliseconds(stallMs)) {
            return false;
        }
        std::this_thread::sleep_for(nextCycleIn());
    }
}

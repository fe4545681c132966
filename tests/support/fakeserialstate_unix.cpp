#include "support/fakeserialstate.h"

#include <QTemporaryFile>

#include <cstdlib>
#include <dlfcn.h>
#include <sys/mman.h>

struct FakeSerialState::Backing
{
    QTemporaryFile file;
};

FakeSerialState::FakeSerialState() : m_backing(std::make_unique<Backing>())
{
    QTemporaryFile &file = m_backing->file;
    if (!file.open() || !file.resize(sizeof(FakeSerial::State)))
        return;
    void *mapped = ::mmap(nullptr, sizeof(FakeSerial::State), PROT_READ | PROT_WRITE, MAP_SHARED,
                          file.handle(), 0);
    if (mapped == MAP_FAILED)
        return;
    m_state = static_cast<FakeSerial::State *>(mapped); // a zeroed file: mode None, no calls
    ::setenv(FakeSerial::environmentVariable, file.fileName().toLocal8Bit().constData(), 1);
}

FakeSerialState::~FakeSerialState()
{
    ::unsetenv(FakeSerial::environmentVariable);
    if (m_state)
        ::munmap(m_state, sizeof(FakeSerial::State));
}

bool FakeSerialState::isActive() const
{
    // The library marks itself by a symbol of its own.
    return m_state && ::dlsym(RTLD_DEFAULT, "tarnelFakeSerialLoaded");
}

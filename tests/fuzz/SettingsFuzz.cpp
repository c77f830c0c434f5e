// A settings file of arbitrary bytes: loading never crashes, every total is
// either the stored number or 0, and what is saved afterwards loads back
// exactly.
#include "core/OdometerState.h"
#include "platform/FileSettings.h"
#include "settings/SavedTotals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace {

QTemporaryDir* folder = nullptr;
std::ostringstream* messages = nullptr;

void Write(const QString& path, const std::uint8_t* data, std::size_t size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::abort();
    }
    file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    folder = new QTemporaryDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder->path());
    // The messages about damaged files are expected; keep the log readable.
    static std::ostringstream sink;
    messages = &sink;
    std::cerr.rdbuf(sink.rdbuf());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QDir dir(folder->path());
    dir.removeRecursively();
    dir.mkpath(QStringLiteral("."));
    const QString path = folder->path() + "/Dovo.conf";
    Write(path, data, size);

    dovo::OdometerState loaded;
    {
        dovo::FileSettings services;
        dovo::Load(loaded, services);
        dovo::Save(loaded, services);
    }
    dovo::OdometerState again;
    {
        dovo::FileSettings services;
        dovo::Load(again, services);
    }
    if (again.TotalTwips != loaded.TotalTwips || again.TotalBlocks != loaded.TotalBlocks) {
        std::abort();
    }
    messages->str({});
    return 0;
}

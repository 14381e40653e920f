#include "DownloadSupport.h"

#include <winplat/debugout.h>
#include <winplat/drives.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "BrelkTrace.h"
#include "Trace.h"

namespace fs = std::filesystem;

namespace brelk::test {

std::vector<fwimage::TocEntry> WriteTestImage(const std::string& hostPath,
                                              const std::string& versionText,
                                              const std::vector<fwimage::ItemSpec>& items) {
    std::vector<fwimage::TocEntry> toc;
    std::string error;
    EXPECT_TRUE(fwimage::WriteImage(hostPath, versionText, items, &error, &toc)) << error;
    return toc;
}

Loopback* Loopback::Current = nullptr;

void Loopback::Write(void*, const char* data, UINT32 length, UINT32* written) {
    Loopback* self = Current;
    self->Loader.Receive(reinterpret_cast<const uint8_t*>(data), length);
    ++self->Writes;
    if (written != nullptr) {
        *written = length;
    }
}

void Loopback::Read(void*, char* buffer, UINT32 capacity, UINT32* count) {
    Loopback* self = Current;
    std::lock_guard lock(self->Lock);
    const size_t n = std::min<size_t>(capacity, self->Rx.size());
    std::copy_n(self->Rx.begin(), n, buffer);
    self->Rx.erase(self->Rx.begin(), self->Rx.begin() + static_cast<ptrdiff_t>(n));
    *count = static_cast<UINT32>(n);
}

UINT32 Loopback::RxAvail(void*) {
    Loopback* self = Current;
    std::lock_guard lock(self->Lock);
    return static_cast<UINT32>(self->Rx.size());
}

std::vector<std::string> DeviceErrorTraces(const std::function<void()>& run) {
    brelk_trace::Catalog catalog;
    std::string error;
    EXPECT_TRUE(catalog.LoadDirectory(BinFolder() + "/trace", &error)) << error;
    const std::string log =
        (fs::temp_directory_path() / ("brelk-dl-trace-" + std::to_string(getpid()) + ".log"))
            .string();
    StartTracing();
    brelk_trace::TraceSession session;
    EXPECT_EQ(session.Start(log, TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE), 0u);
    run();
    EXPECT_EQ(session.Stop(), 0u);
    StopTracing();

    std::vector<std::string> texts;
    const auto read = brelk_trace::ReadLog(log, [&](const brelk_trace::LogMessage& m) {
        const brelk_trace::UnitCatalog* unit = catalog.FindUnit(m.guid);
        const brelk_trace::CatalogEntry* entry = unit ? unit->Find(m.number) : nullptr;
        if (unit != nullptr && unit->unit == "Device" && entry != nullptr) {
            bool match = false;
            texts.push_back(
                brelk_trace::FormatText(entry->text, m.args.data(), m.args.size(), &match));
        }
    });
    EXPECT_TRUE(read.ok) << read.error;
    std::remove(log.c_str());
    return texts;
}

}  // namespace brelk::test

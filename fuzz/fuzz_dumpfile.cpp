// The dump file, from any bytes, as apply reads it before anything is sent.
#include "dumpfile.h"
#include "fuzzsupport.h"

#include <cstdint>

namespace {

bool inDomain(const cli::DisplaySettings &s)
{
    const cli::CommsSettings &c = s.comms;
    bool ok = c.mode >= 0 && c.mode < qm::kModeCount && c.baudCode >= 0 &&
              c.baudCode < qm::kBaudCount && (c.dataBits == 7 || c.dataBits == 8) &&
              c.parity >= 0 && c.parity < qm::kParityCount && c.address >= qm::kMinAddress &&
              c.address <= qm::kMaxAddress;
    for (const cli::BlockSettings &b : s.blocks)
        ok = ok && b.dataType >= 0 && b.dataType < qm::kDataTypeCount && b.decimalPoint >= 0 &&
             b.decimalPoint < qm::kDecimalPointCount;
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    QString error;
    const std::optional<cli::DisplaySettings> parsed = cli::parseDump(text, &error);
    // A refusal always says why; an accepted file is one the display can store.
    QM_FUZZ_CHECK(parsed.has_value() == error.isEmpty());
    if (!parsed)
        return 0;
    QM_FUZZ_CHECK(inDomain(*parsed));
    QM_FUZZ_CHECK(cli::checkWritable(parsed->comms).isEmpty());
    // What dump writes from it reads back to the same settings and the same bytes.
    const QByteArray written = cli::dumpText(*parsed);
    QString again;
    const std::optional<cli::DisplaySettings> reparsed = cli::parseDump(written, &again);
    QM_FUZZ_CHECK(reparsed.has_value() && again.isEmpty());
    QM_FUZZ_CHECK(reparsed->comms == parsed->comms && reparsed->blocks == parsed->blocks);
    QM_FUZZ_CHECK(cli::dumpText(*reparsed) == written);
    return 0;
}

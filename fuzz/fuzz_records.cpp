// A line of a record file, from any bytes, as report reads it: straight from its bytes
// when the scanner understands it, and then exactly as the whole JSON read would.
#include "fuzzsupport.h"
#include "records.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Exactly the input's bytes, so a read past the line's end is caught.
    const qm::fuzz::ExactBytes bytes(qm::fuzz::asView(data, size));
    const QByteArray line = QByteArray::fromRawData(bytes.view().data(), qsizetype(size));
    for (const cli::LineDepth depth : {cli::LineDepth::Summary, cli::LineDepth::Index}) {
        const std::optional<cli::LineFacts> scan = cli::scanLineFacts(line, depth);
        if (!scan)
            continue;
        QJsonObject object;
        const cli::LineKind kind = cli::readRecordLine(line, &object, depth);
        const cli::LineFacts whole = cli::lineFacts(object, kind);
        QM_FUZZ_CHECK(scan->kind == whole.kind);
        if (whole.kind == cli::LineKind::NotRecord)
            continue;
        QM_FUZZ_CHECK(scan->prev == whole.prev);
        QM_FUZZ_CHECK(scan->seq == whole.seq);
        if (whole.kind != cli::LineKind::Record || depth == cli::LineDepth::Index)
            continue;
        QByteArray scanned;
        QByteArray read;
        cli::appendTableRow(scanned, scan->row);
        cli::appendCsvRow(scanned, scan->row);
        cli::appendTableRow(read, whole.row);
        cli::appendCsvRow(read, whole.row);
        QM_FUZZ_CHECK(scanned == read);
    }
    return 0;
}

#include "bench.h"

#include <algorithm>

namespace qm::sim {

DisplayState benchUnit(const DisplayState &first, int number)
{
    DisplayState state = first;
    const int step = number - 1;
    state.address =
        (first.address - kMinAddress + step) % (kMaxAddress - kMinAddress + 1) + kMinAddress;
    if (step > 0)
        state.blocks[std::size_t(step % kBlockCount)] = {step % 3, step % kDecimalPointCount};
    return state;
}

Bench::Bench(const DisplayState &first, const Faults &faults, std::vector<int> stubbornUnits,
             std::vector<int> keepAddressUnits)
    : m_first(first), m_faults(faults), m_stubbornUnits(std::move(stubbornUnits)),
      m_keepAddressUnits(std::move(keepAddressUnits))
{
    arrive();
}

std::vector<std::string> Bench::next()
{
    std::vector<std::string> trace = leave();
    const std::vector<std::string> arrived = arrive();
    trace.insert(trace.end(), arrived.begin(), arrived.end());
    return trace;
}

std::vector<std::string> Bench::leave()
{
    if (!m_unit)
        return {};
    m_unit.reset();
    return {"bench: unit " + std::to_string(m_number) + " left the line"};
}

std::vector<std::string> Bench::arrive()
{
    ++m_number;
    Faults faults = m_faults;
    faults.stubborn = faults.stubborn || std::find(m_stubbornUnits.begin(), m_stubbornUnits.end(),
                                                   m_number) != m_stubbornUnits.end();
    faults.keepAddress =
        faults.keepAddress || std::find(m_keepAddressUnits.begin(), m_keepAddressUnits.end(),
                                        m_number) != m_keepAddressUnits.end();
    m_unit = std::make_unique<DisplaySim>(benchUnit(m_first, m_number), faults);
    return {"bench: unit " + std::to_string(m_number) +
            " arrived: " + describeComms(m_unit->state()) +
            (faults.stubborn ? " (keeps its blocks whatever is written)" : "") +
            (faults.keepAddress ? " (keeps its address whatever is written)" : "")};
}

} // namespace qm::sim

#pragma once

#include "displaysim.h"
#include "displaystate.h"

#include <memory>
#include <string>
#include <vector>

namespace qm::sim {

// The settings unit `number` (1 for the first) arrives with: the first unit's, with the
// address counted up and one block of its own, so that no two units look alike.
DisplayState benchUnit(const DisplayState &first, int number);

// A commissioning bench: displays that come and go on one line, one at a time. Without a
// bench the first unit simply stays.
class Bench
{
public:
    Bench(const DisplayState &first, const Faults &faults, std::vector<int> stubbornUnits,
          std::vector<int> keepAddressUnits = {});

    // The display on the line, or null while there is none.
    DisplaySim *unit() { return m_unit.get(); }
    int number() const { return m_number; }

    // The unit on the line leaves, and the next one arrives; the trace lines say so.
    std::vector<std::string> next();
    // The unit on the line leaves, and none takes its place.
    std::vector<std::string> leave();

private:
    std::vector<std::string> arrive();

    DisplayState m_first;
    Faults m_faults;
    std::vector<int> m_stubbornUnits;
    std::vector<int> m_keepAddressUnits;
    std::unique_ptr<DisplaySim> m_unit;
    int m_number = 0;
};

} // namespace qm::sim

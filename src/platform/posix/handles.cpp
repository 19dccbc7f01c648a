// The process-wide handle table of the POSIX layer.
#include "platform/posix/handles.h"

namespace ostrel::posix {

// Never destroyed: threads that outlive main() (Windows lets a process end
// with threads running) may still close handles during static destruction.
calls::HandleTable &Handles()
{
    static calls::HandleTable *table = new calls::HandleTable;
    return *table;
}

} // namespace ostrel::posix

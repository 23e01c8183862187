#include "corvane/tick_store.hpp"

#include "corvane/dataset.hpp"
#include "corvane/error.hpp"

namespace corvane {

void write_day(File& file, const std::string& name, const RecordsView& ticks) {
    if (!is_member_name(name)) throw ArgumentError("invalid dataset name '" + name + "'");
    file.begin_writing();
    if (file.contains(name)) file.remove(name);
    Dataset::create(file, name, ticks);
}

}  // namespace corvane

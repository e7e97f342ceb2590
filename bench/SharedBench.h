#pragma once
// The shared back end: two registries sharing one PostgreSQL server (its
// own, started in a temporary folder) against one registry on SQLite, in
// the same run: complete lists and churn asked of one of the two (its list
// comes from memory, half of it from the other registry), and logins and
// new accounts per second with each back end.
#include "bench/Options.h"
#include "bench/Report.h"

#include <string>
#include <vector>

namespace bench {

void RunSharedScenario(const Config& config, std::vector<Row>& rows, std::vector<std::string>& notes);

}  // namespace bench

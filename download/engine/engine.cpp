#include "download/engine/engine.h"

namespace tolvane {

struct Download::Impl {};

Download::Download() : impl_(std::make_unique<Impl>()) {}
Download::~Download() { release_download(*this); }

void configure_network(int, int, int) {}
void set_engine_ca_file(const std::string&) {}
bool start_task(Download&, const TaskParam&) { return false; }
std::int64_t received_bytes(const Download&) { return 0; }
std::int64_t take_recent_bytes(Download&) { return 0; }
std::string current_local_path(const Download&) { return {}; }
void release_download(Download&) {}
void engine_program_ending() {}

}  // namespace tolvane

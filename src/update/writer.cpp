#include "update/writer.h"

#include <cstdio>
#include <cstring>

#include "platform/root.h"
#include "upfw/ptb.h"

namespace upfw::update {

std::string device_of(const update_part &req) {
    return std::string(req.dev, strnlen(req.dev, sizeof req.dev));
}

int store_record(const update_part &req, const char *fail_text) {
    const std::string name(req.name, strnlen(req.name, sizeof req.name));
    int index = -1;
    for (int i = 0; i < UPFW_PART_COUNT; ++i)
        if (name == g_part_str[i]) index = i;
    if (index < 0) {
        std::fprintf(stderr, "Not valid image, exit without update ptb!\n");
        return -1;
    }
    env_mtd_table table;
    get_env_mtd_table(&table);
    env_partition rec = table.records[index];
    if (rec.name[0] == '\0') std::snprintf(rec.name, sizeof rec.name, "%s", g_part_str[index]);
    rec.size = req.size;
    rec.ver = req.version;
    rec.date = req.date;
    if (set_env_partition(&rec) < 0) {
        std::fprintf(stderr, "%s", fail_text);
        return -1;
    }
    platform::sync_all();
    return 0;
}

}  // namespace upfw::update

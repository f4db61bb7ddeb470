#include "support/fake_probes.h"

#include "metrics/cpu.h"
#include "metrics/disk.h"
#include "metrics/volumes.h"

fake_probe_figures g_fake_probes;

int get_cpu_count() {
    return g_fake_probes.ncpus;
}

double get_cpu_usage_percent() {
    ++g_fake_probes.cpu_calls;
    return g_fake_probes.percent;
}

void get_mem_stats_os(mem_stats* stats) {
    ++g_fake_probes.memory_calls;
    *stats = g_fake_probes.memory;
}

void get_disk_usage_windows(std::uint64_t* total, std::uint64_t* free_kib, std::uint64_t* used) {
    ++g_fake_probes.disk_calls;
    *total = g_fake_probes.disk_total;
    *free_kib = g_fake_probes.disk_free;
    *used = g_fake_probes.disk_used;
}

void get_volumes_windows(volume_visitor visit, void* context) {
    ++g_fake_probes.volume_calls;
    for (const fake_volume& v : g_fake_probes.volumes) {
        std::u16string paths = v.paths + u'\0';
        volume_info info = {paths.c_str(), v.name.c_str(), v.label.c_str(), v.fs.c_str(),
                            v.total,       v.free,         v.used};
        visit(&info, context);
    }
}

#!/usr/bin/env python3
"""Writes the Grafana dashboard of vorna-stats-host (vorna-stats-host.json beside this file).

The dashboard is made here, not kept as JSON: each panel is one line of title, query, unit and
kind, and the JSON Grafana wants (ids, grid positions, data source references, field configs)
follows from it. `make_dashboard.py --check` fails when the committed JSON is not what this
writes, so the two never drift apart.
"""
import json
import pathlib
import sys

OUT = pathlib.Path(__file__).with_name("vorna-stats-host.json")
DATASOURCE = {"type": "prometheus", "uid": "${datasource}"}
# Every query of the VMs' figures is narrowed by the three variables.
VMS = 'job=~"$job", instance=~"$instance", vm=~"$vm"'
EXPORTER = 'job=~"$job", instance=~"$instance"'
# The alert rule's rate: the free space's trend over the last 6 hours.
DAYS_LEFT = (f"vorna_volume_free_bytes{{{VMS}}} / -(deriv(vorna_volume_free_bytes{{{VMS}}}[6h]) < 0)"
             " / 86400")

# (title, kind, unit, [(query, legend)], description); kind: stat, timeseries, bargauge, table.
ROWS = [
    ("Fleet", [
        ("VMs up", "stat", "none", [(f"sum(vorna_up{{{VMS}}})", "")],
         "VMs whose last poll got a valid report."),
        ("VMs down", "stat", "none", [(f"count(vorna_up{{{VMS}}} == 0) or vector(0)", "")],
         "VMs polled whose agent gave no valid report at the last poll."),
        ("libvirt reachable", "stat", "none",
         [(f"min(vorna_libvirt_up{{{EXPORTER}}})", "")],
         "1 when every exporter's last listing of libvirt's domains succeeded."),
        ("Domains without the channel", "stat", "none",
         [(f"sum(vorna_libvirt_domains_without_channel{{{EXPORTER}}})", "")],
         "Running domains that lack the agent's channel com.vorna.vm.stats_agent.0."),
        ("Polls that failed, by reason", "timeseries", "none",
         [(f"sum by (reason) (increase(vorna_poll_failures_total{{{VMS}}}[$__rate_interval]))",
           "{{reason}}")],
         "Why agents do not answer: connect, timeout, closed, invalid, oversized, implausible, "
         "noisy, resources."),
        ("Agents not answering, and why (last hour)", "table", "none",
         [(f"sum by (vm, reason) (increase(vorna_poll_failures_total{{{VMS}}}[1h])) > 0", "")],
         "Failed polls of the last hour by VM and reason."),
    ]),
    ("CPU and memory", [
        ("CPU busy", "timeseries", "percentunit",
         [(f"vorna_cpu_busy_ratio{{{VMS}}}", "{{vm}}")],
         "Busy share of the guest's CPU time over the agent's 2 s window."),
        ("Processors", "stat", "none", [(f"vorna_cpus{{{VMS}}}", "{{vm}}")],
         "Logical processors of the guest, every processor group."),
        ("Memory available", "timeseries", "bytes",
         [(f"vorna_memory_available_bytes{{{VMS}}}", "{{vm}}")],
         "Physical memory available in the guest."),
        ("Memory available share", "bargauge", "percentunit",
         [(f"vorna_memory_available_bytes{{{VMS}}} / vorna_memory_total_bytes{{{VMS}}}", "{{vm}}")],
         "Share of the physical memory available; the alert fires under 10 % for 15 minutes."),
        ("Commit charge", "timeseries", "bytes",
         [(f"vorna_commit_limit_bytes{{{VMS}}} - vorna_commit_available_bytes{{{VMS}}}",
           "{{vm}} charged"),
          (f"vorna_commit_limit_bytes{{{VMS}}}", "{{vm}} limit")],
         "Memory committed in the guest against its commit limit (memory and page files)."),
    ]),
    ("Volumes", [
        ("Free space", "timeseries", "bytes",
         [(f"vorna_volume_free_bytes{{{VMS}}}", "{{vm}} {{volume}}")],
         "Free space of every volume of the guests."),
        ("Free share", "bargauge", "percentunit",
         [(f"vorna_volume_free_bytes{{{VMS}}} / vorna_volume_total_bytes{{{VMS}}}",
           "{{vm}} {{volume}}")],
         "Share of each volume that is free; the alert fires under 10 % for 30 minutes."),
        ("Days left at the last 6 hours' rate", "bargauge", "d",
         [(DAYS_LEFT, "{{vm}} {{volume}}")],
         "Volumes whose free space shrinks: days until full at the rate of the last 6 hours, "
         "the alert rule's trend."),
        ("Volumes", "table", "bytes",
         [(f"vorna_volume_info{{{VMS}}} * on (vm, volume, instance, job) group_left "
           f"vorna_volume_total_bytes{{{VMS}}}", "")],
         "Every volume with its mount paths, label, file system and size."),
    ]),
    ("The exporter", [
        ("Poll duration", "timeseries", "s",
         [(f"vorna_poll_duration_seconds{{{VMS}}}", "{{vm}}")],
         "How long each VM's last poll took."),
        ("Scrape size", "timeseries", "bytes",
         [(f"vorna_http_scrape_size_bytes{{{EXPORTER}}}", "{{instance}}")],
         "Size of the exposition before compression."),
        ("HTTP requests", "timeseries", "reqps",
         [(f"sum by (code) (rate(vorna_http_requests_total{{{EXPORTER}}}[$__rate_interval]))",
           "{{code}}")],
         "Answers by status; 401 and 503 show strangers and too many scrapes at once."),
        ("Exporter CPU", "timeseries", "percentunit",
         [(f"rate(process_cpu_seconds_total{{{EXPORTER}}}[$__rate_interval])", "{{instance}}")],
         "Share of one core the exporter uses."),
        ("Exporter memory", "timeseries", "bytes",
         [(f"process_resident_memory_bytes{{{EXPORTER}}}", "{{instance}}")],
         "Resident memory of the exporter."),
        ("Open descriptors", "timeseries", "none",
         [(f"process_open_fds{{{EXPORTER}}}", "{{instance}} open"),
          (f"process_max_fds{{{EXPORTER}}}", "{{instance}} limit")],
         "Descriptors the exporter holds, against its limit."),
    ]),
]

VARIABLES = [
    ("job", "Job", "label_values(vorna_build_info, job)"),
    ("instance", "KVM host", 'label_values(vorna_build_info{job=~"$job"}, instance)'),
    ("vm", "VM", 'label_values(vorna_up{job=~"$job", instance=~"$instance"}, vm)'),
]


def panel(ident, title, kind, unit, queries, description, x, y, width, height):
    options = {}
    if kind == "stat":
        options = {"reduceOptions": {"calcs": ["lastNotNull"], "fields": "", "values": False},
                   "colorMode": "value", "graphMode": "none", "textMode": "auto"}
    elif kind == "bargauge":
        options = {"reduceOptions": {"calcs": ["lastNotNull"], "fields": "", "values": False},
                   "orientation": "horizontal", "displayMode": "gradient"}
    elif kind == "timeseries":
        options = {"legend": {"displayMode": "list", "placement": "bottom", "showLegend": True},
                   "tooltip": {"mode": "multi", "sort": "desc"}}
    elif kind == "table":
        options = {"showHeader": True}
    defaults = {"unit": unit}
    if unit == "percentunit":
        defaults.update(min=0, max=1)
    targets = []
    for number, (expr, legend) in enumerate(queries):
        target = {"datasource": DATASOURCE, "expr": expr, "legendFormat": legend,
                  "refId": chr(ord("A") + number)}
        if kind == "table":
            target.update(instant=True, format="table")
        targets.append(target)
    return {"id": ident, "type": kind, "title": title, "description": description,
            "datasource": DATASOURCE, "gridPos": {"x": x, "y": y, "w": width, "h": height},
            "fieldConfig": {"defaults": defaults, "overrides": []}, "options": options,
            "targets": targets}


def dashboard():
    panels = []
    ident = 1
    y = 0
    for row_title, row_panels in ROWS:
        panels.append({"id": ident, "type": "row", "title": row_title, "collapsed": False,
                       "gridPos": {"x": 0, "y": y, "w": 24, "h": 1}, "panels": []})
        ident += 1
        y += 1
        x = 0
        for title, kind, unit, queries, description in row_panels:
            width, height = (6, 4) if kind == "stat" else (12, 8)
            if x + width > 24:
                x = 0
                y += 8
            panels.append(panel(ident, title, kind, unit, queries, description, x, y, width,
                                height))
            ident += 1
            x += width
        y += 8
    templating = [{"name": "datasource", "label": "Data source", "type": "datasource",
                   "query": "prometheus", "current": {}, "hide": 0}]
    for name, label, query in VARIABLES:
        templating.append({"name": name, "label": label, "type": "query",
                           "datasource": DATASOURCE, "query": {"query": query, "refId": name},
                           "definition": query, "refresh": 2, "multi": True,
                           "includeAll": True, "allValue": ".*", "current": {}, "sort": 1,
                           "hide": 0})
    return {
        "title": "vorna-stats-host",
        "uid": "vorna-stats-host",
        "description": "Windows guests' figures from vorna-stats-agent, exported by "
                       "vorna-stats-host.",
        "tags": ["vorna", "windows", "kvm"],
        "schemaVersion": 39,
        "version": 1,
        "editable": True,
        "graphTooltip": 1,
        "time": {"from": "now-6h", "to": "now"},
        "refresh": "1m",
        "timezone": "",
        "annotations": {"list": []},
        "links": [],
        "templating": {"list": templating},
        "panels": panels,
    }


def main():
    text = json.dumps(dashboard(), indent=2, ensure_ascii=False) + "\n"
    if sys.argv[1:] == ["--check"]:
        if OUT.read_text(encoding="utf-8") != text:
            sys.exit(f"{OUT} is not what {sys.argv[0]} writes: run it again")
        return
    OUT.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()

"""Reads a metrics endpoint as Prometheus would and prints its samples as the
Prometheus client's own parser reads them, one "name label=value,... value"
line each (labels sorted, "-" for none). Fails on text the parser refuses, on
anything `promtool check metrics` reports, and, with --dashboard, on a query
of that Grafana dashboard that names a metric the endpoint does not serve."""
import argparse
import json
import re
import subprocess
import sys
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

parser = argparse.ArgumentParser()
parser.add_argument("url")
parser.add_argument("--promtool", default="promtool")
parser.add_argument("--dashboard")
args = parser.parse_args()

text = urllib.request.urlopen(args.url, timeout=30).read().decode()
served = set()
for family in text_string_to_metric_families(text):
    for sample in family.samples:
        served.add(sample.name)
        labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items())) or "-"
        value = int(sample.value) if float(sample.value).is_integer() else sample.value
        print(f"{sample.name} {labels} {value}")

lint = subprocess.run([args.promtool, "check", "metrics"], input=text, capture_output=True, text=True)
if lint.returncode != 0 or lint.stdout.strip() or lint.stderr.strip():
    sys.exit(f"promtool check metrics:\n{lint.stdout}{lint.stderr}")

if args.dashboard:
    def queries(node):
        if isinstance(node, dict):
            for key, value in node.items():
                if key == "expr" or (key == "query" and isinstance(value, str)):
                    yield value
                else:
                    yield from queries(value)
        elif isinstance(node, list):
            for item in node:
                yield from queries(item)

    with open(args.dashboard) as f:
        dashboard = json.load(f)
    named = {name for q in queries(dashboard) for name in re.findall(r"\b(?:quillvane|process)_[a-z_]+", q)}
    if not named:
        sys.exit("the dashboard names no metric")
    unknown = sorted(named - served)
    if unknown:
        sys.exit(f"the dashboard names metrics the server does not serve: {unknown}")

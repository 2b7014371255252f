"""Prints the samples of a metrics endpoint as the Prometheus client's own
parser reads them, one "name label=value,... value" line each (labels sorted,
"-" for none). Fails on text the parser refuses."""
import sys
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

text = urllib.request.urlopen(sys.argv[1], timeout=30).read().decode()
for family in text_string_to_metric_families(text):
    for sample in family.samples:
        labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items())) or "-"
        value = int(sample.value) if float(sample.value).is_integer() else sample.value
        print(f"{sample.name} {labels} {value}")

"""What configuring the installer accepts and refuses for the analytics
protocol, and what the build then carries: a maker's own configure of the
whole project (without its tests), with the GA4 values."""
import pathlib
import re
import subprocess

import pytest

from conftest import ROOT, TOOLCHAIN


def configure(tmp_path, **values):
    build = tmp_path / "build"
    args = ["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
            "-DCMAKE_TOOLCHAIN_FILE=%s" % TOOLCHAIN, "-DQUELLOX_TESTS=OFF"]
    args += ["-DQUELLOX_%s=%s" % item for item in values.items()]
    result = subprocess.run(args, capture_output=True, text=True, timeout=120)
    return result, build / "generated/Deployment.h"


def carried(tmp_path, header):
    """The GA4 values as the compiled program sees them: the header compiled
    natively (warnings are errors), its strings printed as code points."""
    source = tmp_path / "print.cpp"
    source.write_text(
        '#include <cstdio>\n#include "Deployment.h"\n'
        "static void Print(const wchar_t* text) {\n"
        '    for (; *text; ++text) std::printf("%x ", static_cast<unsigned>(*text));\n'
        '    std::printf("\\n");\n}\n'
        "int main() {\n"
        '    std::printf("%d\\n", deployment::AnalyticsGA4 ? 1 : 0);\n'
        "    Print(deployment::GA4MeasurementID);\n    Print(deployment::GA4ApiSecret);\n}\n")
    program = tmp_path / "print"
    subprocess.run(["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-I", str(header.parent), str(source),
                    "-o", str(program)], check=True, capture_output=True, timeout=120)
    ga4, measurement_id, secret = subprocess.run([str(program)], capture_output=True, text=True,
                                                 check=True).stdout.split("\n")[:3]
    decode = lambda line: "".join(chr(int(c, 16)) for c in line.split())
    return ga4 == "1", decode(measurement_id), decode(secret)


@pytest.mark.parametrize("values, expected", [
    ({}, (False, "", "")),
    # A v1 build carries no GA4 value, even when one is set.
    ({"ANALYTICS_PROTOCOL": "v1", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "s3cret"}, (False, "", "")),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "SsxQ2nH0Ro-9XbX6x_ZsEA"},
     (True, "G-ABC123", "SsxQ2nH0Ro-9XbX6x_ZsEA")),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-x1", "GA4_API_SECRET": 'a\\b"c??=d&e%f#g\\'},
     (True, "G-x1", 'a\\b"c??=d&e%f#g\\')),
    # The address the service documents, as well as the same server's /collect.
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "s",
      "ANALYTICS_URL": "https://www.google-analytics.com/mp/collect"}, (True, "G-ABC123", "s")),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "s",
      "ANALYTICS_URL": "https://www.google-analytics.com/collect"}, (True, "G-ABC123", "s")),
], ids=["defaults", "v1-ignores-ga4-values", "ga4", "ga4-secret-with-escapes", "ga4-mp-collect", "ga4-collect"])
def test_accepted(tmp_path, values, expected):
    result, header = configure(tmp_path, **values)
    assert result.returncode == 0, result.stderr
    assert carried(tmp_path, header) == expected


@pytest.mark.parametrize("values, message", [
    ({"ANALYTICS_PROTOCOL": "v2"}, "QUELLOX_ANALYTICS_PROTOCOL: 'v2' does not have the required shape"),
    ({"ANALYTICS_PROTOCOL": "GA4", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "s"},
     "QUELLOX_ANALYTICS_PROTOCOL: 'GA4'"),
    ({"ANALYTICS_PROTOCOL": "ga4"}, "QUELLOX_ANALYTICS_PROTOCOL=ga4 needs QUELLOX_GA4_MEASUREMENT_ID"),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-ABC123"},
     "QUELLOX_ANALYTICS_PROTOCOL=ga4 needs QUELLOX_GA4_API_SECRET"),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "UA-12345678-1", "GA4_API_SECRET": "s"},
     "QUELLOX_GA4_MEASUREMENT_ID: 'UA-12345678-1'"),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-", "GA4_API_SECRET": "s"}, "QUELLOX_GA4_MEASUREMENT_ID"),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-AB_12", "GA4_API_SECRET": "s"},
     "QUELLOX_GA4_MEASUREMENT_ID"),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "two words"},
     "QUELLOX_GA4_API_SECRET: 'two words'"),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "tab\tbed"},
     "QUELLOX_GA4_API_SECRET"),
    # The service takes https only; plain http only for a reserved .example host.
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "s",
      "ANALYTICS_URL": "http://www.google-analytics.com/mp/collect"},
     "QUELLOX_ANALYTICS_URL: 'http://www.google-analytics.com/mp/collect' does not have the required shape: "
     "expected with ga4, https://HOST[:PORT]/mp/collect"),
    ({"ANALYTICS_URL": "http://analytics.quellox.example/mp/collect"},
     "expected with v1, http(s)://HOST[:PORT]/collect"),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-ABC123", "GA4_API_SECRET": "s",
      "ANALYTICS_URL": "https://www.google-analytics.com/debug/mp/collect"},
     "expected http(s)://HOST[:PORT]/collect, or /mp/collect with ga4"),
    ({"ANALYTICS_PROTOCOL": "ga4", "GA4_MEASUREMENT_ID": "G-AB_12", "GA4_API_SECRET": "s"},
     "expected G- followed by letters and digits"),
], ids=["unknown", "upper-case", "no-id", "no-secret", "tracking-id", "bare-prefix", "underscore", "blank", "tab",
        "ga4-plain-http", "v1-mp-collect", "other-path", "says-the-shape"])
def test_refused(tmp_path, values, message):
    result, header = configure(tmp_path, **values)
    assert result.returncode != 0
    assert message in " ".join(result.stderr.split())
    assert not header.exists()

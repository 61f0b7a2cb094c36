// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace Velumo::Bench {

// Prints Google Benchmark's table and keeps each benchmark's median CPU time per iteration, in
// seconds, for the verdict that compares a figure with its same-run baseline.
class MedianCollector : public benchmark::ConsoleReporter
{
public:
    // Without colours: scripts/bench reads the verdict lines from the start of a line.
    MedianCollector()
        : ConsoleReporter(OO_Tabular)
    {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medianSeconds[run.run_name.function_name] =
                    run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
        }
    }

    std::map<std::string, double> medianSeconds;
};

} // namespace Velumo::Bench

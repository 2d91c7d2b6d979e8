#pragma once

#include <QString>
#include <atomic>
#include <memory>

#include "fetch/RunShared.h"
#include "fetch/WorkerPool.h"
#include "run/ListingPhase.h"
#include "run/NoticeDispatcher.h"
#include "run/RefusalExporter.h"
#include "run/RunControl.h"
#include "run/RunInputs.h"
#include "run/RunOptions.h"
#include "run/RunReporter.h"

// The parts of a run's listing phase, put together as the driver does, but never run: tests
// and fuzz targets apply pages to it on their own thread. Its events go to `events`; its files
// are in the options' folders.
struct ListingParts {
    ListingParts(RunEvents& events, RunOptions runOptions, const QString& portalBase)
        : options(std::move(runOptions)),
          inputs(WithBase(portalBase)),
          shared(std::make_shared<RunShared>(options.mutexName)),
          pool(shared),
          reporter(events, control),
          notices(reporter, inputs.telegram, options.workDir, abandon),
          exporter(options, reporter, notices),
          listing(options, inputs, *control, pool, reporter, exporter, notices) {}

    static RunInputs WithBase(const QString& portalBase) {
        RunInputs inputs;
        inputs.portalBase = portalBase;
        return inputs;
    }

    RunOptions options;
    RunInputs inputs;
    std::shared_ptr<RunControl> control = std::make_shared<RunControl>();
    std::shared_ptr<RunShared> shared;
    WorkerPool pool;
    RunReporter reporter;
    std::atomic<bool> abandon{false};
    NoticeDispatcher notices;
    RefusalExporter exporter;
    ListingPhase listing;
};

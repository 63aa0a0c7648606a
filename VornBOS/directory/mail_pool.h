// The threads that send SMS mail: a fixed number of workers taking jobs from a bounded
// queue, so a relay that never answers ties up at most those workers and that queue.
#pragma once
#include <functional>

constexpr int kMailWorkers = 4;
constexpr int kMailQueueMax = 64;

// Queues a job for the workers (started on first use); false when the queue is full.
bool QueueMailJob(std::function<void()> job);
// Waits until no job is queued or running, at most `seconds`.
void WaitForMailJobs(int seconds);
// Jobs queued or running now.
int PendingMailJobs();

#pragma once

#include <QList>
#include <QThread>

#include <memory>

namespace rq70::flash {

// One thread per device or slot, each running one worker object's `run` from its start; the
// workers and threads are released together once every one has ended.
template <class Worker> class WorkerThreads {
public:
    WorkerThreads() = default;
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;
    ~WorkerThreads() { EndAll(); }

    // Takes `worker` (which must have no parent) into a thread of its own that will call `run`.
    Worker* Add(Worker* worker, void (Worker::*run)()) {
        auto* thread = new QThread;
        worker->moveToThread(thread);
        QObject::connect(thread, &QThread::started, worker, run);
        workers_ << worker;
        threads_ << thread;
        return worker;
    }
    void StartAll() {
        for (QThread* thread : threads_)
            thread->start();
    }
    // Waits for every thread to end (each ends once its `run` has returned) and releases the
    // workers; after it there are none.
    void EndAll() {
        for (qsizetype i = 0; i < threads_.size(); ++i) {
            threads_[i]->quit();
            threads_[i]->wait();
            delete workers_[i];
            delete threads_[i];
        }
        workers_.clear();
        threads_.clear();
    }
    const QList<Worker*>& Workers() const { return workers_; }
    qsizetype Size() const { return workers_.size(); }

private:
    QList<Worker*> workers_;
    QList<QThread*> threads_;
};

} // namespace rq70::flash

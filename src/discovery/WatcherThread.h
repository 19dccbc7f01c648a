// What the watcher thread and the code that starts and stops it share.
#pragma once

struct WatcherControl;

// The watcher whose thread this is, or null on any other thread.
extern thread_local WatcherControl *runningWatcher;

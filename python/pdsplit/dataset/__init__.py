"""The DOS of many runs as one dataset (pdsplit.collect and its shards).
Its modules, in the order they import one another (each only ones above it):

  options     the options checked and stored, the format version, the errors
              (CollectError, ShardsMissing) and the summary (Collected)
  find        the run folders of the sources, their fingerprints
  progress    the progress bar or lines on standard error
  schema      the variables of the dataset and a run as a row of them
  batch       the unit of work of every executor: a batch of runs read,
              and its results as keys and rows
  netcdf      the netCDF-4 file: its layout, rows written and read back
  store       the stored dataset, the checkpoints, the output's lock
  assemble    the dataset written from its sources, here or in a child
              process (python3 -m pdsplit.dataset.assemble JOB)
  interrupts  Ctrl-C and SIGTERM: one handler, the executors' bounded
              wait, reading threads abandoned
  threads     the local executor: batches on threads
  dask        the Dask executor: batches on a cluster's workers
  collection  one collection: plan, read through an executor, store, write;
              collect()
  shards      the run list, one shard collected, the missing shards
  merge       the shards merged into one dataset
  cli         python3 -m pdsplit collect and merge

The package itself imports none of them: pdsplit loads them when one of
its dataset names is first used (they need h5py)."""

"""pytest plugin for scripts/memcheck.sh: leaves out hypothesis-driven tests,
which run hundreds of examples and take far too long under valgrind."""


def pytest_collection_modifyitems(config, items):
    keep, drop = [], []
    for item in items:
        fn = getattr(item, "obj", None)
        (drop if getattr(fn, "is_hypothesis_test", False) else keep).append(item)
    if drop:
        config.hook.pytest_deselected(items=drop)
        items[:] = keep

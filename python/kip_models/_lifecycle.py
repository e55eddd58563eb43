"""Lifecycle shared by the model wrappers: explicit close and use as a context manager."""


class ModelLifecycle:
    """Mixin for a wrapper whose native model object is held in self._m."""

    def close(self):
        """Frees the model; later calls raise ValueError."""
        self._m.close()

    @property
    def closed(self):
        return self._m.closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

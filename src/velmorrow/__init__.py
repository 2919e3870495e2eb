"""velmorrow: native adapters between the application's Python code and its native core.

The extension modules are imported on demand, never by this package itself:

- ``velmorrow.sparse``: sparse, BM25-style embeddings of code text;
- ``velmorrow.featuregate``: the native core's capabilities, checked once and cached;
- ``velmorrow.scanrules``: the repository scan configuration.
"""

__version__ = "0.1.0"

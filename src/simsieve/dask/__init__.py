"""Clustering and the cosine join on a Dask cluster, with the single-machine results.

``simsieve.dask`` runs :func:`simsieve.cluster_canonicals_lsh`, :func:`simsieve.cluster_canonicals`
and :func:`simsieve.cosine_join` over input that is spread over the partitions of a Dask
collection (a Dask Bag of strings or a Dask Series; a plain list is split into partitions).
Each function returns exactly what the single-machine function returns on the concatenated
input: the same clusters with the same members (global input positions) and the same minimum
ratios bit for bit, or the same ``(j, i, cos)`` pairs in the same order.

The work runs as ordinary Dask tasks on whatever scheduler is current: the distributed
``Client`` you created (``Client(LocalCluster(...))`` or ``Client("tcp://scheduler:8786")``),
or Dask's local scheduler when there is none. Tasks are pure functions of their inputs, so a
task that Dask retries after a lost worker gives the same answer.

Install with ``pip install simsieve[dask]``.
"""

from __future__ import annotations

from ._cosine import cosine_join
from ._exact import cluster_canonicals
from ._lsh import cluster_canonicals_lsh, clusters_to_frame

__all__ = ["cluster_canonicals", "cluster_canonicals_lsh", "clusters_to_frame", "cosine_join"]

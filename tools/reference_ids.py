"""Stable ids of the rows of the reference tables in tests/data.

Every row starts with its id, <grid>-<key>: the key is the row's index within its grid, zero-padded
to four digits and counted in the order the generator enumerates the grid (for a flux map's
definition, the map's name). Rows added to one grid leave the ids of every other grid unchanged;
the tests name failing rows by id.
"""
import collections

HEADER = ("# Each row starts with its id <grid>-<NNNN>: its index within its grid, in generation\n"
          "# order; rows added to one grid leave the ids of the others unchanged.")


def row_id(grid, key):
    return f"{grid}-{key:04d}" if isinstance(key, int) else f"{grid}-{key}"


def numbered(rows):
    """Text lines for rows (grid, field, ...), each field already formatted: the id, then the
    fields, numbered within each grid in the order given."""
    counts = collections.Counter()
    for grid, *fields in rows:
        yield " ".join([row_id(grid, counts[grid]), *fields])
        counts[grid] += 1

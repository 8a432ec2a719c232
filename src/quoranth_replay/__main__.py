"""``python -m quoranth_replay``: the same as the ``quoranth-replay`` command."""

from .cli import command

command()

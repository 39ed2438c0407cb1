"""tarvel-admin: the operator's command line for a Tarvel data folder.

It lists and changes the scheduler's jobs and the creator's skills through the
modules' own public calls, so locks, merges, history and validation are those
of the host. Read-only commands read copies of the files, so they change no
file of the data folder.
"""

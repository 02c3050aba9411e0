#!/bin/sh
rsync -a ~/Notes ~/Backups/

#!/bin/sh
# One tintorel-cli run shared out as a Slurm job array of 8 tasks: task K stamps part K of 8 of the
# pictures on the shared file system. Submit with: sbatch deploy/slurm/stamp-array.sh
#SBATCH --job-name=tintorel-stamp
#SBATCH --array=1-8
#SBATCH --cpus-per-task=4
#SBATCH --output=stamp-%A_%a.log

mkdir -p /shared/reports
exec tintorel-cli --watermark /shared/mark.png --output /shared/stamped \
    --keep-tree --update --quiet --jobs "${SLURM_CPUS_PER_TASK:-1}" \
    --shard "$SLURM_ARRAY_TASK_ID/8" \
    --report "/shared/reports/part-$SLURM_ARRAY_TASK_ID.jsonl" /shared/photos
